// The settings window's dialog and its controls by number: the resource
// script lays them out, the window works them, and the test driver finds
// them by these numbers as Windows automation does. Plain macros, because
// the resource compiler reads this file too.
#pragma once

#define IDD_SETTINGS 100

// The form's own controls. OK (BitBtn1) and Cancel (CancelBtn) keep the
// system's IDOK and IDCANCEL, so Enter and Esc press them.
#define IDC_COMBOBOX1 101
#define IDC_NOPEUS 102
#define IDC_DATA 103
#define IDC_PARITEETTI 104
#define IDC_STOPBITTI 105
#define IDC_LISTANOP 112
#define IDC_LISTDATA 113
#define IDC_LISTPARITY 114
#define IDC_LISTSTOP 115
#define IDC_LAHDATA 120
#define IDC_LAHETA 121
#define IDC_LAHTO 122
#define IDC_TULO 123
#define IDC_NOLLAA 124

// The window's additions: the legend of the test text, the port in use, and
// the button that opens the closed dialog again.
#define IDC_LEGEND 130
#define IDC_PORT_STATE 131
#define IDC_OPEN_AGAIN 132

// The station tools: the station to ask, Ask, Trigger, the last trigger's
// sequence number, the decoded replies, and why the port failed.
#define IDC_STATION 140
#define IDC_ASK 141
#define IDC_TRIGGER 142
#define IDC_LAST_TRIGGER 143
#define IDC_REPLIES 144
#define IDC_PORT_PROBLEM 145

// The line check: a tick for each station 1 to 14 (IDC_TICK1 + n - 1),
// Repeat, Poll, Stop, how far it is, and its table with the result lines.
#define IDC_TICK1 150
#define IDC_REPEAT 170
#define IDC_POLL 171
#define IDC_STOP 172
#define IDC_CHECK_STATE 173
#define IDC_CHECK_TABLE 174
