# Install-time handling of the engine (included by cmake_install in three
# steps).  The engine is not ours: it is installed only when given, in
# PLOTRUNE_ENGINE (at install time from the environment, else as
# configured): one file, or several separated by ':', one per processor.
# Which file serves which processor is decided by the build rules
# (PlotruneBuild::Rules::engine_for), as for make install.
#   choose: before anything is written, read every engine given and choose
#           one for each folder of builds; an empty PLOTRUNE_ENGINE, an
#           unreadable file or none for a processor fails the install here.
#   copy:   after the modules, copy the chosen engine into each folder,
#           once per processor.
#   note:   the install's last line, when no engine was given: where one
#           must go.
# In (choose): PLOTRUNE_ENGINE_BUILDS_FILE (lines "folder|cpu|pointer
# bits|module|perl"), PLOTRUNE_CONFIGURED_ENGINE, PLOTRUNE_ROOT.

if(PLOTRUNE_ENGINE_STEP STREQUAL "choose")
  if(DEFINED ENV{PLOTRUNE_ENGINE})
    set(engines "$ENV{PLOTRUNE_ENGINE}")
    set(given 1)
  else()
    set(engines "${PLOTRUNE_CONFIGURED_ENGINE}")
    set(given 0)
  endif()
  set(PLOTRUNE_CHOSEN_ENGINES "")
  set(PLOTRUNE_ENGINE_FOLDERS "")
  file(STRINGS "${PLOTRUNE_ENGINE_BUILDS_FILE}" folders)
  foreach(line IN LISTS folders)
    string(REPLACE "|" ";" fields "${line}")
    list(GET fields 0 folder)
    list(GET fields 1 cpu)
    list(GET fields 2 ptr_bits)
    list(GET fields 3 module)
    list(GET fields 4 perl)
    string(CONFIGURE "${folder}" folder)
    list(APPEND PLOTRUNE_ENGINE_FOLDERS "$ENV{DESTDIR}${folder}")
    set(PLOTRUNE_ENGINE_PERL "${perl}")
    if(given OR NOT engines STREQUAL "")
      execute_process(COMMAND "${perl}" "-I${PLOTRUNE_ROOT}/inc" -MPlotruneBuild::Rules -e
                        "print PlotruneBuild::Rules::engine_for({ arch => $ARGV[0], ptr_bits => $ARGV[1], module => $ARGV[2] }, $ARGV[3], 1)"
                        "${cpu}" "${ptr_bits}" "${module}" "${engines}"
                      OUTPUT_VARIABLE chosen ERROR_VARIABLE why RESULT_VARIABLE failed)
      if(failed)
        string(STRIP "${why}" why)
        message(FATAL_ERROR "${why}\nNothing was installed.")
      endif()
      list(APPEND PLOTRUNE_CHOSEN_ENGINES "${folder}|${chosen}")
    endif()
  endforeach()
elseif(PLOTRUNE_ENGINE_STEP STREQUAL "copy")
  foreach(pair IN LISTS PLOTRUNE_CHOSEN_ENGINES)
    string(REPLACE "|" ";" pair "${pair}")
    list(GET pair 0 folder)
    list(GET pair 1 engine)
    # file(INSTALL) adds DESTDIR itself.
    file(INSTALL "${engine}" DESTINATION "${folder}" RENAME libplotrune.so)
  endforeach()
elseif(PLOTRUNE_ENGINE_STEP STREQUAL "note")
  if(PLOTRUNE_CHOSEN_ENGINES STREQUAL "")
    string(REPLACE ";" " and " folders "${PLOTRUNE_ENGINE_FOLDERS}")
    execute_process(COMMAND "${PLOTRUNE_ENGINE_PERL}" "-I${PLOTRUNE_ROOT}/inc" -MPlotruneBuild::Rules -e
                      "print PlotruneBuild::Rules::no_engine_note($ARGV[0])" "${folders}"
                    OUTPUT_VARIABLE note OUTPUT_STRIP_TRAILING_WHITESPACE)
    message(STATUS "${note}")
  endif()
endif()
