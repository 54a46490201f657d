# cmake --install: the programs to bin/, their manual pages to share/man/man1/
# and the trace file's format to share/man/man5/ (GNUInstallDirs, so --prefix
# /usr gives /usr/bin and /usr/share/man/man1).
# The pages are written by hand in man/*.1.in; the build fills in the version
# and the date of the release, the date of its entry in debian/changelog.
include(GNUInstallDirs)

set(scalepoll_programs scalepoll)
if(TARGET scalepoll-sim)
  list(APPEND scalepoll_programs scalepoll-sim)
endif()
if(TARGET scalepoll-console)
  list(APPEND scalepoll_programs scalepoll-console)
endif()
if(TARGET scalepoll-report)
  list(APPEND scalepoll_programs scalepoll-report)
endif()
install(TARGETS ${scalepoll_programs} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})  # the guide the pages name

# The version from project() is what the programs print; scalepoll itself
# takes --version as one parameter of too few.
if(SCALEPOLL_TESTS AND NOT CMAKE_CROSSCOMPILING)
  foreach(program IN LISTS scalepoll_programs)
    add_test(NAME Version.${program} COMMAND ${program} --version)
  endforeach()
  string(REPLACE "." "\\." version_pattern "${PROJECT_VERSION}")
  set_tests_properties(Version.scalepoll PROPERTIES PASS_REGULAR_EXPRESSION "^1;Not enough parameters\r\n$")
  foreach(program IN ITEMS scalepoll-sim scalepoll-console scalepoll-report)
    if(TARGET ${program})
      set_tests_properties(Version.${program} PROPERTIES PASS_REGULAR_EXPRESSION "^${program} ${version_pattern}\n$")
    endif()
  endforeach()
endif()

if(NOT WIN32)
  # The changelog's newest entry: its version must be this one, or the Debian
  # package would carry another version than its programs print; its date
  # goes on the pages as YYYY-MM-DD.
  set(changelog ${PROJECT_SOURCE_DIR}/debian/changelog)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${changelog})
  file(STRINGS ${changelog} changelog_head LIMIT_COUNT 1)
  file(STRINGS ${changelog} changelog_trailer REGEX "^ -- " LIMIT_COUNT 1)
  string(REGEX REPLACE "^scalepoll \\(([^)]*)\\).*" "\\1" changelog_version "${changelog_head}")
  if(NOT changelog_version STREQUAL PROJECT_VERSION)
    message(FATAL_ERROR "debian/changelog's newest entry is for \"${changelog_version}\", the project is "
                        "${PROJECT_VERSION}: add an entry at the top (dch -v ${PROJECT_VERSION})")
  endif()
  if(changelog_trailer MATCHES ">  [A-Z][a-z][a-z], ([0-9][0-9]?) ([A-Z][a-z][a-z]) ([0-9][0-9][0-9][0-9]) ")
    set(months Jan Feb Mar Apr May Jun Jul Aug Sep Oct Nov Dec)
    list(FIND months ${CMAKE_MATCH_2} month)
    math(EXPR month "${month} + 1")
    math(EXPR day "${CMAKE_MATCH_1}")
    if(month LESS 10)
      set(month "0${month}")
    endif()
    if(day LESS 10)
      set(day "0${day}")
    endif()
    set(SCALEPOLL_RELEASE_DATE "${CMAKE_MATCH_3}-${month}-${day}")
  else()
    message(FATAL_ERROR "debian/changelog: no date in the newest entry's trailer line")
  endif()
  set(scalepoll_man_pages)
  foreach(program IN LISTS scalepoll_programs)
    configure_file(${PROJECT_SOURCE_DIR}/man/${program}.1.in ${PROJECT_BINARY_DIR}/man/${program}.1 @ONLY)
    list(APPEND scalepoll_man_pages ${PROJECT_BINARY_DIR}/man/${program}.1)
  endforeach()
  install(FILES ${scalepoll_man_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  configure_file(${PROJECT_SOURCE_DIR}/man/scalepoll-trace.5.in ${PROJECT_BINARY_DIR}/man/scalepoll-trace.5 @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/man/scalepoll-trace.5 DESTINATION ${CMAKE_INSTALL_MANDIR}/man5)
  list(APPEND scalepoll_man_pages ${PROJECT_BINARY_DIR}/man/scalepoll-trace.5)

  # Every page formats without a warning (man --warnings), where man-db is here.
  find_program(SCALEPOLL_MAN man)
  if(SCALEPOLL_TESTS AND SCALEPOLL_MAN)
    add_test(NAME ManPages
             COMMAND ${PROJECT_SOURCE_DIR}/man/check-pages.sh ${SCALEPOLL_MAN} ${scalepoll_man_pages})
  endif()
endif()
