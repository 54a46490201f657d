// Screen: the console's terminal, the one unit that talks to ncurses.
//
// How it works: opening switches the terminal to raw input (Ctrl-C is a key
// like any other) without echo, with the keypad's sequences decoded, and
// with reads that never wait, so the event loop's keyboard timer takes the
// keys that have arrived and goes on. Esc alone is told from the start of a
// key sequence after 25 ms. Every Draw puts the whole dialog into ncurses'
// picture of the screen again, and refresh() sends the terminal only what
// changed. Destroying the Screen gives the terminal back as it was.
#pragma once

#include <memory>
#include <vector>

#include "serial/StationConsole.h"
#include "tools/console/Console.h"

struct screen;

class Screen {
public:
    // The terminal on standard input and output; nullptr when they are not one.
    static std::unique_ptr<Screen> Open();
    explicit Screen(screen* terminal) : terminal_(terminal) {}
    ~Screen();
    Screen(const Screen&) = delete;
    Screen& operator=(const Screen&) = delete;

    // The keys pressed since the last call, in order; other input is dropped.
    std::vector<ConsoleKey> ReadKeys();
    void Draw(const StationConsole& stations, const DialogConsole& console);

private:
    screen* terminal_;
};
