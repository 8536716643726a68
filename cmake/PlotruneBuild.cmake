# How one module is built, tested and installed for each perl.
#
# Perl decides, CMake consumes: inc/PlotruneBuild/Command.pm, run under each
# perl, writes the build rules' answers for it as set() lines, include()d here.

set(PLOTRUNE_ROOT "${CMAKE_CURRENT_LIST_DIR}/..")
set(PLOTRUNE_RULES "${PLOTRUNE_ROOT}/inc/PlotruneBuild/Command.pm")
set_property(GLOBAL PROPERTY PLOTRUNE_BUILT "")

# AddressSanitizer and UndefinedBehaviorSanitizer in the module and the
# engines (tools/sanitize.sh); the module still links no runtime.
option(PLOTRUNE_SANITIZE "Instrument the module and the stand-in engine with ASan and UBSan" OFF)
# LeakSanitizer stops the process with ptrace at exit, which user-mode
# emulation (qemu) does not provide: there it would hang every test.
option(PLOTRUNE_SANITIZE_LEAKS "With PLOTRUNE_SANITIZE, check for leaks at exit (LeakSanitizer)" ON)

# The checked build, tested with a misbehaving engine too: build it in a
# folder of its own; its tree and archive are apart from the normal build's.
option(PLOTRUNE_CHECKED "Build the modules with the engine contract checked, for engine authors" OFF)

# Install: a Perl library tree under the prefix (lib/perl5, each processor's
# modules in PlotRune/<cpu>), or straight into each perl's own site library.
option(PLOTRUNE_INSTALL_SITE "Install into each perl's own site folders instead of a tree under the prefix" OFF)
set(PLOTRUNE_ENGINE "" CACHE STRING
    "Engine library (or several, one per architecture, separated by ':') to install beside every module")

# Runs the build rules under one perl; sets ${out} to the file of set() lines
# they wrote for it.  Every perl is probed before anything is added, so that
# the engine's install, which runs first, knows every folder of builds.
function(plotrune_probe perl out)
  if(NOT IS_ABSOLUTE "${perl}")
    find_program(found_perl "${perl}" NO_CACHE)
    if(NOT found_perl)
      message(FATAL_ERROR "perl '${perl}': not found")
    endif()
    set(perl "${found_perl}")
  endif()
  get_property(n GLOBAL PROPERTY PLOTRUNE_BUILT)
  list(LENGTH n n)
  set(file "${CMAKE_BINARY_DIR}/perls/${n}.cmake")
  file(REMOVE "${file}")
  file(MAKE_DIRECTORY "${CMAKE_BINARY_DIR}/perls")
  execute_process(COMMAND "${perl}" "${PLOTRUNE_RULES}" cmake "--checked=${PLOTRUNE_CHECKED}"
                          "--site=${PLOTRUNE_INSTALL_SITE}" "--sanitize=${PLOTRUNE_SANITIZE}"
                          "${perl}" "${CMAKE_BINARY_DIR}" "${CMAKE_CXX_COMPILER}" "${file}"
                  ERROR_VARIABLE why RESULT_VARIABLE failed)
  if(failed OR NOT EXISTS "${file}")
    # A perl of a processor this host runs no programs of: say that, and
    # what to do, rather than "Exec format error".
    execute_process(COMMAND bash "${PLOTRUNE_ROOT}/tools/emulation.sh" check "${perl}"
                    ERROR_VARIABLE refused RESULT_VARIABLE not_runnable)
    if(not_runnable)
      message(FATAL_ERROR "perl '${perl}': ${refused}")
    endif()
    string(STRIP "${why}${failed}" why)
    message(FATAL_ERROR "perl '${perl}': cannot build for it: ${why}")
  endif()
  include("${file}")
  get_property(built GLOBAL PROPERTY PLOTRUNE_BUILT)
  if("${plotrune_arch}/${plotrune_module}" IN_LIST built)
    message(FATAL_ERROR "perl '${perl}' gives the module name ${plotrune_module} on ${plotrune_arch}, "
                        "which another listed perl already gives: list one perl per configuration")
  endif()
  set_property(GLOBAL APPEND PROPERTY PLOTRUNE_BUILT "${plotrune_arch}/${plotrune_module}")
  message(STATUS "${plotrune_summary}")
  set(${out} "${file}" PARENT_SCOPE)
endfunction()

# The engine's install comes first, before anything is written
# (inc/PlotruneBuild/Engine.pm, as for make install): one folder per processor,
# the first build of each naming it.  Its note, when no engine was given,
# is the install's last line (plotrune_end_install).
function(plotrune_install_engine probes)
  set(builds "")
  set(engines "")
  foreach(file IN LISTS probes)
    include("${file}")
    list(APPEND builds "\$ENV{DESTDIR}${plotrune_install_engine}" "${plotrune_arch}")
    list(APPEND engines "\$ENV{DESTDIR}${plotrune_install_engine}")
  endforeach()
  list(REMOVE_DUPLICATES engines)
  list(GET probes 0 first)
  include("${first}")
  install(CODE "set(PLOTRUNE_ENGINE_NOTE_FILE \"${CMAKE_BINARY_DIR}/engine-note.txt\")
    execute_process(COMMAND \"${plotrune_perl}\" \"${PLOTRUNE_ROOT}/inc/PlotruneBuild/Engine.pm\" \"\${PLOTRUNE_ENGINE_NOTE_FILE}\"
                            \"${PLOTRUNE_ENGINE}\" ${builds} ERROR_VARIABLE why RESULT_VARIABLE failed)
    if(failed)
      string(STRIP \"\${why}\" why)
      message(FATAL_ERROR \"\${why}\\nNothing was installed.\")
    endif()
    file(READ \"\${PLOTRUNE_ENGINE_NOTE_FILE}\" PLOTRUNE_ENGINE_NOTE)
    if(PLOTRUNE_ENGINE_NOTE STREQUAL \"\")
      list(APPEND CMAKE_INSTALL_MANIFEST_FILES ${engines})
    endif()")
endfunction()

# One perl's module, from the set() lines of its probe; its test engines,
# install and tests.
function(plotrune_add_module file)
  include("${file}")
  set(target "${plotrune_module}_${plotrune_arch}")
  add_library(${target} MODULE "${PLOTRUNE_ROOT}/module/perlapi.cpp")
  target_compile_options(${target} PRIVATE ${plotrune_module_flags})
  target_link_options(${target} PRIVATE ${plotrune_module_ldflags})
  target_link_libraries(${target} PRIVATE ${plotrune_module_libs})
  set_target_properties(${target} PROPERTIES PREFIX "" OUTPUT_NAME "${plotrune_module}"
    LIBRARY_OUTPUT_DIRECTORY "${plotrune_module_dir}" LINK_DEPENDS "${plotrune_version_script}"
    # For a processor CMake's compilers make no code for, the build rules' (else none).
    CXX_COMPILER_LAUNCHER "${plotrune_cxx_launcher}" CXX_LINKER_LAUNCHER "${plotrune_cxx_launcher}")
  configure_file("${plotrune_module_pm}" "${plotrune_module_pm_file}" COPYONLY)
  # The test engines, beside the module or in its subfolders; the stand-in
  # engine is the one the tests' install gives.
  foreach(kind IN LISTS plotrune_test_engines)
    plotrune_add_engine(${target}_${kind} "${plotrune_test_engine_${kind}_source}"
                        "${plotrune_test_engine_${kind}_dir}" ${plotrune_test_engine_${kind}_flags})
    target_compile_definitions(${target}_${kind} PRIVATE ${plotrune_test_engine_${kind}_defines})
  endforeach()
  set_property(GLOBAL APPEND PROPERTY PLOTRUNE_STANDIN_ENGINES
               "${plotrune_test_engine_engine_dir}/${plotrune_engine_file}")
  set(sanitize_env "")
  if(PLOTRUNE_SANITIZE)
    # The build rules compiled everything with the sanitizers; the tests run
    # with their runtimes preloaded (the environment tools/fuzz.sh takes too).
    execute_process(COMMAND bash "${PLOTRUNE_ROOT}/tools/sanitizer-env.sh" "${PLOTRUNE_SANITIZE_LEAKS}"
                            ${CMAKE_CXX_COMPILER} ${plotrune_engine_ldflags} OUTPUT_VARIABLE sanitize_env)
    string(STRIP "${sanitize_env}" sanitize_env)
    string(REPLACE "\n" ";" sanitize_env "${sanitize_env}")
    plotrune_add_planted_faults(${target} "${sanitize_env}")
  endif()
  plotrune_install_module(${target})
  plotrune_add_tests("${sanitize_env}")
endfunction()

# An engine of ours (plain C) under the engine's file name, in ${dir}; any
# further arguments are flags for its compile and link.
function(plotrune_add_engine name source dir)
  add_library(${name} MODULE "${source}")
  target_compile_options(${name} PRIVATE ${plotrune_engine_flags} ${ARGN})
  target_link_options(${name} PRIVATE ${plotrune_engine_ldflags} ${ARGN})
  set_target_properties(${name} PROPERTIES PREFIX "" SUFFIX "" OUTPUT_NAME "${plotrune_engine_file}"
    LIBRARY_OUTPUT_DIRECTORY "${dir}"
    C_COMPILER_LAUNCHER "${plotrune_c_launcher}" C_LINKER_LAUNCHER "${plotrune_c_launcher}")
endfunction()

# Faults planted in an engine beside a copy of the module, one per kind:
# each run must end in the sanitizer's report of it, or the suite's silence
# under this perl would prove nothing.
function(plotrune_add_planted_faults target sanitize_env)
  set(dir "${CMAKE_BINARY_DIR}/planted/${plotrune_arch}/${plotrune_module}")
  plotrune_add_engine(${target}_planted "${PLOTRUNE_ROOT}/t/engines/planted_faults.c" "${dir}" -O0)
  add_custom_command(TARGET ${target}_planted POST_BUILD
    COMMAND "${CMAKE_COMMAND}" -E copy "$<TARGET_FILE:${target}>" "${dir}/")
  add_dependencies(${target}_planted ${target})
  foreach(fault IN ITEMS heap-buffer-overflow heap-use-after-free signed-integer-overflow)
    # ASan names the fault as it is named here, UBSan in words.
    string(REPLACE "-" " " words "${fault}")
    set(name "${plotrune_arch}/${plotrune_module}/planted/${fault}")
    add_test(NAME "${name}"
      COMMAND "${plotrune_perl}" "-I${PLOTRUNE_ROOT}/t/lib" -MPlotruneTest
              -e "PlotruneTest::boot_module(@ARGV[0, 1]), &{\"$ARGV[1]::callMethod\"}($ARGV[2])"
              "${dir}/$<TARGET_FILE_NAME:${target}>" "${plotrune_module}" "${fault}")
    set_tests_properties("${name}" PROPERTIES LABELS "${plotrune_module};${plotrune_arch};planted" ENVIRONMENT
      "${sanitize_env}" PASS_REGULAR_EXPRESSION "ERROR: AddressSanitizer: ${fault}|runtime error: ${words}")
  endforeach()
endfunction()

# The module and its .pm in the folder the builds of its processor share;
# the pure-Perl files once per library folder.
function(plotrune_install_module target)
  install(TARGETS ${target} LIBRARY DESTINATION "${plotrune_install_dir}")
  install(FILES "${plotrune_module_pm_file}" DESTINATION "${plotrune_install_dir}")
  get_property(perl_libs GLOBAL PROPERTY PLOTRUNE_PERL_LIBS)
  if(NOT "${plotrune_install_lib}" IN_LIST perl_libs)
    set_property(GLOBAL APPEND PROPERTY PLOTRUNE_PERL_LIBS "${plotrune_install_lib}")
    foreach(file IN LISTS plotrune_perl_files)
      get_filename_component(sub "${file}" DIRECTORY)
      install(FILES "${PLOTRUNE_ROOT}/lib/${file}" DESTINATION "${plotrune_install_lib}/${sub}")
    endforeach()
  endif()
  set_property(GLOBAL APPEND PROPERTY PLOTRUNE_ARCHES "${plotrune_arch}")
endfunction()

# Every test file runs under this module's own perl, by the build rules'
# test command; those of the call path and the conversions are labelled so.
function(plotrune_add_tests sanitize_env)
  set(name "${plotrune_arch}/${plotrune_module}")
  file(GLOB test_files RELATIVE "${PLOTRUNE_ROOT}/t" "${PLOTRUNE_ROOT}/t/*.t")
  foreach(test_file IN LISTS test_files)
    add_test(NAME "${name}/${test_file}"
      COMMAND "${plotrune_perl}" ${plotrune_test_command} "${PLOTRUNE_ROOT}/t/${test_file}"
      WORKING_DIRECTORY "${CMAKE_BINARY_DIR}")
    set(labels "${plotrune_module};${plotrune_arch}")
    if(test_file IN_LIST plotrune_call_path_tests)
      list(APPEND labels call-path)
    endif()
    set_tests_properties("${name}/${test_file}" PROPERTIES LABELS "${labels}"
      ENVIRONMENT "PLOTRUNE_MODULES=${CMAKE_BINARY_DIR}/modules.tsv;PLOTRUNE_MODULE=${plotrune_module};PLOTRUNE_ARCH=${plotrune_arch};${sanitize_env}")
  endforeach()
endfunction()

# After every perl's module: the tree's manifest, the engine's note, and one
# archive of the tree (cpack, or the package target).
function(plotrune_end_install probes)
  list(GET probes 0 first)
  include("${first}")
  if(NOT PLOTRUNE_INSTALL_SITE)
    install(CODE "set(PLOTRUNE_BUILDS \"${CMAKE_BINARY_DIR}/builds.tsv\")
      include(\"${PLOTRUNE_ROOT}/cmake/install_manifest.cmake\")")
  endif()
  # The last line of an install without an engine says where one must go.
  install(CODE "if(NOT PLOTRUNE_ENGINE_NOTE STREQUAL \"\")
      string(STRIP \"\${PLOTRUNE_ENGINE_NOTE}\" note)
      message(STATUS \"\${note}\")
    endif()")

  get_property(arches GLOBAL PROPERTY PLOTRUNE_ARCHES)
  list(REMOVE_DUPLICATES arches)
  list(SORT arches)
  string(REPLACE ";" "-" arches "${arches}")
  set(package "${plotrune_package}-${arches}")
  set(CPACK_GENERATOR TXZ)
  set(CPACK_PACKAGE_NAME perlplotrune)
  set(CPACK_PACKAGE_VERSION "${plotrune_dist_version}")
  set(CPACK_PACKAGE_FILE_NAME "${package}")
  set(CPACK_SOURCE_GENERATOR "")
  include(CPack)
  if(NOT PLOTRUNE_INSTALL_SITE)
    plotrune_add_install_tests("${package}")
  endif()
endfunction()

# The tests' tree holds every build with its own stand-in engine, given
# the way an engine maintainer gives theirs; the tests' archive holds none.
# A build that installs into the perls' own site folders gets neither: its
# tests must not write there (t/install.t then skips).
function(plotrune_add_install_tests package_name)
  set(tree "${CMAKE_BINARY_DIR}/test-tree")
  set(package_dir "${CMAKE_BINARY_DIR}/test-package")
  get_property(engines GLOBAL PROPERTY PLOTRUNE_STANDIN_ENGINES)
  string(REPLACE ";" ":" engines "${engines}")
  add_test(NAME install/tree
    COMMAND sh -c "rm -rf \"$1\" && PLOTRUNE_ENGINE=\"$2\" \"$3\" --install . --prefix \"$1\""
                  sh "${tree}" "${engines}" "${CMAKE_COMMAND}"
    WORKING_DIRECTORY "${CMAKE_BINARY_DIR}")
  set_tests_properties(install/tree PROPERTIES FIXTURES_SETUP plotrune_tree)
  add_test(NAME install/package
    COMMAND sh -c "rm -rf \"$1\" && unset PLOTRUNE_ENGINE && \"$2\" -G TXZ -B \"$1\" >/dev/null"
                  sh "${package_dir}" "${CMAKE_CPACK_COMMAND}"
    WORKING_DIRECTORY "${CMAKE_BINARY_DIR}")
  set_tests_properties(install/package PROPERTIES FIXTURES_SETUP plotrune_package)
  get_property(built GLOBAL PROPERTY PLOTRUNE_BUILT)
  foreach(item IN LISTS built)
    set_property(TEST "${item}/install.t" APPEND PROPERTY FIXTURES_REQUIRED plotrune_tree plotrune_package)
    set_property(TEST "${item}/install.t" APPEND PROPERTY ENVIRONMENT "PLOTRUNE_TREE=${tree}"
                 "PLOTRUNE_TREE_MANIFEST=${tree}/perlplotrune-manifest.tsv"
                 "PLOTRUNE_PACKAGE=${package_dir}/${package_name}.tar.xz")
  endforeach()
endfunction()
