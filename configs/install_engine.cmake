# Install-time part of the install of one module (included by cmake_install):
# copies the engine given in PLOTRUNE_ENGINE (at install time from the
# environment, else as configured) beside the module.  Several engines, one
# per architecture, are separated by ':'; each module gets the one of its
# own ELF class, since an engine of another class would never load.
# Nothing is installed when none is given: the engine is not ours.
# In: PLOTRUNE_AUTO (destination folder), PLOTRUNE_PTR_BITS, PLOTRUNE_MODULE,
#     PLOTRUNE_CONFIGURED_ENGINE.

set(engines "$ENV{PLOTRUNE_ENGINE}")
if(engines STREQUAL "")
  set(engines "${PLOTRUNE_CONFIGURED_ENGINE}")
endif()
if(NOT engines STREQUAL "")
  string(REPLACE ":" ";" engines "${engines}")
  if(PLOTRUNE_PTR_BITS EQUAL 32)
    set(want "7f454c4601")
  else()
    set(want "7f454c4602")
  endif()
  set(chosen "")
  foreach(engine IN LISTS engines)
    if(NOT EXISTS "${engine}")
      message(FATAL_ERROR "PLOTRUNE_ENGINE: no file ${engine}")
    endif()
    file(READ "${engine}" class LIMIT 5 HEX)
    if(class STREQUAL want AND NOT chosen)
      set(chosen "${engine}")
    endif()
  endforeach()
  if(NOT chosen)
    message(FATAL_ERROR "PLOTRUNE_ENGINE: none of ${engines} is a ${PLOTRUNE_PTR_BITS}-bit library, "
                        "as ${PLOTRUNE_MODULE} needs")
  endif()
  file(INSTALL "${chosen}" DESTINATION "${PLOTRUNE_AUTO}" RENAME libplotrune.so)
endif()
