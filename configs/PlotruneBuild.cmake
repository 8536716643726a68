# How one module is built and tested for one perl.
#
# Everything a build needs comes from that perl's own Config (probe_perl.pl):
# its module name, and the compile and link flags that make the interpreter's
# structures look the same to the module as to the interpreter.

set(PLOTRUNE_ROOT "${CMAKE_CURRENT_LIST_DIR}/..")
set(PLOTRUNE_CONFIG_TABLE "${CMAKE_CURRENT_LIST_DIR}/configurations.tsv")
set_property(GLOBAL PROPERTY PLOTRUNE_BUILT "")

# AddressSanitizer and UndefinedBehaviorSanitizer in the module and the
# stand-in engine (tools/sanitize.sh).  The module still links no runtime and
# records no needed library: the tests preload the sanitizers into perl,
# which is not instrumented itself.
option(PLOTRUNE_SANITIZE "Instrument the module and the stand-in engine with ASan and UBSan" OFF)
# LeakSanitizer stops the process with ptrace at exit, which user-mode
# emulation (qemu) does not provide: there it would hang every test.
option(PLOTRUNE_SANITIZE_LEAKS "With PLOTRUNE_SANITIZE, check for leaks at exit (LeakSanitizer)" ON)

# The checked build, for engine authors: the same modules with every rule of
# the engine contract checked (the flags are the build rules'), tested with a
# misbehaving engine beside the stand-in.  Build it in a folder of its own;
# its tree and archive are apart from the normal build's.
option(PLOTRUNE_CHECKED "Build the modules with the engine contract checked, for engine authors" OFF)
set(PLOTRUNE_CHECKED_ARG "")
set(PLOTRUNE_PACKAGE_STEM perlplotrune)
if(PLOTRUNE_CHECKED)
  set(PLOTRUNE_CHECKED_ARG --checked)
  set(PLOTRUNE_PACKAGE_STEM perlplotrune-checked)
endif()

# Install: a Perl library tree under the prefix (lib/perl5, the modules of
# each processor in PlotRune/<cpu>), or straight into each perl's own site
# library.
option(PLOTRUNE_INSTALL_SITE "Install into each perl's own site folders instead of a tree under the prefix" OFF)
set(PLOTRUNE_ENGINE "" CACHE STRING
    "Engine library (or several, one per architecture, separated by ':') to install beside every module")
set_property(GLOBAL PROPERTY PLOTRUNE_PERL_LIBS "")
set_property(GLOBAL PROPERTY PLOTRUNE_BUILD_LINES "")
set_property(GLOBAL PROPERTY PLOTRUNE_STANDIN_ENGINES "")
set_property(GLOBAL PROPERTY PLOTRUNE_ENGINE_DIRS "")
set_property(GLOBAL PROPERTY PLOTRUNE_ENGINE_BUILDS "")

# The manifest's header comes with the first perl: its columns are the build
# rules'.
function(plotrune_begin_manifest file)
  set(PLOTRUNE_MANIFEST "${file}" PARENT_SCOPE)
  # Before anything is installed: the engine given is read and chosen for
  # every processor, so that a wrong one fails the install before it writes.
  install(CODE "set(PLOTRUNE_ENGINE_STEP choose)
    set(PLOTRUNE_ENGINE_BUILDS_FILE \"${CMAKE_BINARY_DIR}/engine-folders.txt\")
    set(PLOTRUNE_CONFIGURED_ENGINE \"${PLOTRUNE_ENGINE}\")
    set(PLOTRUNE_ROOT \"${PLOTRUNE_ROOT}\")
    include(\"${PLOTRUNE_ROOT}/configs/install_engine.cmake\")")
  file(WRITE "${file}" "")
endfunction()

function(plotrune_add_perl perl)
  if(NOT IS_ABSOLUTE "${perl}")
    find_program(found_perl "${perl}" NO_CACHE)
    if(NOT found_perl)
      message(FATAL_ERROR "perl '${perl}': not found")
    endif()
    set(perl "${found_perl}")
  endif()
  execute_process(COMMAND "${perl}" "${PLOTRUNE_ROOT}/configs/probe_perl.pl" ${PLOTRUNE_CHECKED_ARG} "${PLOTRUNE_CONFIG_TABLE}"
                          "${CMAKE_CXX_COMPILER}" "${CMAKE_BINARY_DIR}/generated"
                  OUTPUT_VARIABLE probe ERROR_VARIABLE why RESULT_VARIABLE failed)
  if(failed)
    # A 32-bit perl on a kernel that runs no i386 programs: say that, and
    # what to do, rather than "Exec format error".
    execute_process(COMMAND bash "${PLOTRUNE_ROOT}/tools/i386-emulation.sh" check "${perl}"
                    ERROR_VARIABLE refused RESULT_VARIABLE not_runnable)
    if(not_runnable)
      message(FATAL_ERROR "perl '${perl}': ${refused}")
    endif()
    string(STRIP "${why}${failed}" why)
    message(FATAL_ERROR "perl '${perl}': cannot build for it: ${why}")
  endif()
  # Lists come with their words separated by \x1f.  A ; inside a value
  # (the test command's perl code) stays one: escaped for each list step.
  string(ASCII 31 word_separator)
  string(REPLACE ";" "\\;" probe "${probe}")
  string(REPLACE "\n" ";" lines "${probe}")
  foreach(line IN LISTS lines)
    if(line MATCHES "^([a-z_]+)\t(.*)$")
      string(REPLACE ";" "\\;" value "${CMAKE_MATCH_2}")
      string(REPLACE "${word_separator}" ";" value "${value}")
      set(cfg_${CMAKE_MATCH_1} "${value}")
    endif()
  endforeach()

  if(NOT cfg_module OR NOT cfg_core)
    message(FATAL_ERROR "perl '${perl}': cannot build for it: it gave no configuration (is it a perl?)")
  endif()
  set(module "${cfg_module}")
  set(arch "${cfg_arch}")
  get_property(built GLOBAL PROPERTY PLOTRUNE_BUILT)
  if("${arch}/${module}" IN_LIST built)
    message(FATAL_ERROR "perl '${perl}' gives the module name ${module} on ${arch}, "
                        "which another listed perl already gives: list one perl per configuration")
  endif()
  set_property(GLOBAL APPEND PROPERTY PLOTRUNE_BUILT "${arch}/${module}")

  if(cfg_supported)
    message(STATUS "perl ${cfg_version} (${perl}): ${module} on ${arch}")
  else()
    message(STATUS "perl ${cfg_version} (${perl}): ${module} on ${arch}, "
                   "beyond the supported set (${cfg_supported_set})")
  endif()

  set(dir "${CMAKE_BINARY_DIR}/modules/${arch}/${module}")
  set(target "${module}_${arch}")

  # The module: its flags, link rules and .pm are inc/PlotruneBuild/Rules.pm's,
  # which Makefile.PL builds from too.  It records no needed library and
  # exports only its boot symbol; everything it calls is resolved from the
  # perl process that loads it.
  add_library(${target} MODULE "${PLOTRUNE_ROOT}/module/perlapi.cpp")
  target_compile_options(${target} PRIVATE ${cfg_module_flags})
  target_link_options(${target} PRIVATE ${cfg_module_ldflags})
  target_link_libraries(${target} PRIVATE ${cfg_module_libs})
  set_target_properties(${target} PROPERTIES PREFIX "" OUTPUT_NAME "${module}"
    LIBRARY_OUTPUT_DIRECTORY "${dir}" LINK_DEPENDS "${cfg_version_script}")
  configure_file("${cfg_module_pm}" "${dir}/${module}.pm" COPYONLY)

  # The stand-in engine beside it, and the load tests' doubles in their
  # subfolders (the build rules' standin_engines).
  set(row_module "${module}")
  set(row_arch "${arch}")
  set(row_perl "${perl}")
  set(row_module_file "${dir}/${module}.so")
  set(row_supported "${cfg_supported}")
  foreach(kind IN LISTS cfg_standin_engines)
    set(defines "${cfg_standin_${kind}}")
    list(POP_FRONT defines source subdir)
    set(out "${dir}")
    if(subdir)
      set(out "${dir}/${subdir}")
    endif()
    set(row_${cfg_column_${kind}} "${out}/libplotrune.so")
    add_library(${target}_${kind} MODULE "${PLOTRUNE_ROOT}/engine/${source}")
    if(defines)
      target_compile_definitions(${target}_${kind} PRIVATE ${defines})
    endif()
    target_compile_options(${target}_${kind} PRIVATE ${cfg_engine_flags})
    target_link_options(${target}_${kind} PRIVATE ${cfg_engine_ldflags})
    if(cfg_standin_flags_${kind})
      target_compile_options(${target}_${kind} PRIVATE ${cfg_standin_flags_${kind}})
      target_link_options(${target}_${kind} PRIVATE ${cfg_standin_flags_${kind}})
    endif()
    set_target_properties(${target}_${kind} PROPERTIES PREFIX "lib" OUTPUT_NAME plotrune
      LIBRARY_OUTPUT_DIRECTORY "${out}")
  endforeach()

  set(sanitize_flags "")
  set(sanitize_env "")
  if(PLOTRUNE_SANITIZE)
    # vptr checks need RTTI, which the module is built without.
    set(sanitize_flags -fsanitize=address,undefined -fno-sanitize=vptr -fno-sanitize-recover=all
                       -fno-omit-frame-pointer)
    target_compile_options(${target} PRIVATE ${sanitize_flags})
    foreach(kind IN LISTS cfg_standin_engines)
      target_compile_options(${target}_${kind} PRIVATE ${sanitize_flags})
    endforeach()
    execute_process(COMMAND ${CMAKE_CXX_COMPILER} ${cfg_engine_ldflags} -print-file-name=libasan.so
                    OUTPUT_VARIABLE asan_lib OUTPUT_STRIP_TRAILING_WHITESPACE)
    execute_process(COMMAND ${CMAKE_CXX_COMPILER} ${cfg_engine_ldflags} -print-file-name=libubsan.so
                    OUTPUT_VARIABLE ubsan_lib OUTPUT_STRIP_TRAILING_WHITESPACE)
    # PERL_DESTRUCT_LEVEL=2 makes perl free what it holds at exit, so that
    # the leak check sees only real leaks.
    if(PLOTRUNE_SANITIZE_LEAKS)
      set(detect_leaks 1)
    else()
      set(detect_leaks 0)
    endif()
    set(sanitize_env "LD_PRELOAD=${asan_lib} ${ubsan_lib};PERL_DESTRUCT_LEVEL=2"
        "ASAN_OPTIONS=detect_leaks=${detect_leaks}:strict_string_checks=1:detect_stack_use_after_return=1"
        "UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1"
        "LSAN_OPTIONS=suppressions=${PLOTRUNE_ROOT}/tools/lsan.supp:print_suppressions=0")

    # Faults planted in an engine beside a copy of the module, one per kind:
    # each run must end in the sanitizer's report of it, or the suite's
    # silence under this perl would prove nothing.
    set(planted_dir "${CMAKE_BINARY_DIR}/planted/${arch}/${module}")
    add_library(${target}_planted MODULE "${PLOTRUNE_ROOT}/engine/planted_faults.c")
    target_compile_options(${target}_planted PRIVATE ${cfg_engine_flags} ${sanitize_flags} -O0)
    target_link_options(${target}_planted PRIVATE ${cfg_engine_ldflags})
    set_target_properties(${target}_planted PROPERTIES PREFIX "lib" OUTPUT_NAME plotrune
      LIBRARY_OUTPUT_DIRECTORY "${planted_dir}")
    add_custom_command(TARGET ${target}_planted POST_BUILD
      COMMAND "${CMAKE_COMMAND}" -E copy "$<TARGET_FILE:${target}>" "${planted_dir}/")
    add_dependencies(${target}_planted ${target})
    foreach(fault IN ITEMS heap-buffer-overflow heap-use-after-free signed-integer-overflow)
      set(report "ERROR: AddressSanitizer: ${fault}")
      if(fault STREQUAL "signed-integer-overflow")
        set(report "runtime error: signed integer overflow")
      endif()
      add_test(NAME "${arch}/${module}/planted/${fault}"
        COMMAND "${perl}" "-I${PLOTRUNE_ROOT}/t/lib" -MPlotruneTest
                -e "PlotruneTest::boot_module(@ARGV[0, 1]), &{\"$ARGV[1]::callMethod\"}($ARGV[2])"
                "${planted_dir}/${module}.so" "${module}" "${fault}")
      set_tests_properties("${arch}/${module}/planted/${fault}" PROPERTIES
        LABELS "${module};${arch};planted" ENVIRONMENT "${sanitize_env}"
        PASS_REGULAR_EXPRESSION "${report}")
    endforeach()
  endif()

  set_property(GLOBAL APPEND PROPERTY PLOTRUNE_STANDIN_ENGINES "${row_${cfg_column_engine}}")

  file(SIZE "${PLOTRUNE_MANIFEST}" manifest_size)
  if(manifest_size EQUAL 0)
    string(REPLACE ";" "\t" header "${cfg_manifest_columns}")
    file(APPEND "${PLOTRUNE_MANIFEST}" "${header}\n")
  endif()
  set(row_checked "${cfg_checked}")
  set(row "")
  foreach(column IN LISTS cfg_manifest_columns)
    list(APPEND row "${row_${column}}")
  endforeach()
  string(REPLACE ";" "\t" row "${row}")
  file(APPEND "${PLOTRUNE_MANIFEST}" "${row}\n")

  # The builds of one processor share one folder and one engine in it.
  if(PLOTRUNE_INSTALL_SITE)
    set(lib_dir "${cfg_site_lib}")
    set(build_dir "${cfg_site_dir}")
  else()
    set(lib_dir "${cfg_tree_lib}")
    set(build_dir "${cfg_tree_dir}")
  endif()
  install(TARGETS ${target} LIBRARY DESTINATION "${build_dir}")
  install(FILES "${dir}/${module}.pm" DESTINATION "${build_dir}")
  get_property(perl_libs GLOBAL PROPERTY PLOTRUNE_PERL_LIBS)
  if(NOT "${lib_dir}" IN_LIST perl_libs)
    set_property(GLOBAL APPEND PROPERTY PLOTRUNE_PERL_LIBS "${lib_dir}")
    foreach(file IN LISTS cfg_perl_files)
      get_filename_component(sub "${file}" DIRECTORY)
      install(FILES "${PLOTRUNE_ROOT}/lib/${file}" DESTINATION "${lib_dir}/${sub}")
    endforeach()
  endif()
  if(IS_ABSOLUTE "${build_dir}")
    set(engine_dir "${build_dir}")
  else()
    set(engine_dir "\${CMAKE_INSTALL_PREFIX}/${build_dir}")
  endif()
  get_property(engine_dirs GLOBAL PROPERTY PLOTRUNE_ENGINE_DIRS)
  if(NOT "${engine_dir}" IN_LIST engine_dirs)
    set_property(GLOBAL APPEND PROPERTY PLOTRUNE_ENGINE_DIRS "${engine_dir}")
    set_property(GLOBAL APPEND PROPERTY PLOTRUNE_ENGINE_BUILDS "${engine_dir}|${cfg_arch}|${cfg_ptr_bits}|${module}|${perl}")
  endif()
  set_property(GLOBAL APPEND PROPERTY PLOTRUNE_BUILD_LINES
    "build\t${module}\t${cfg_version}\t${cfg_threads}\t${cfg_iv_bits}\t${cfg_ptr_bits}\t${cfg_archname}\t${cfg_supported}\t${cfg_checked}\t${cfg_interface}\n")

  # Every test file runs under this module's own perl, by the build rules'
  # test command.
  file(GLOB test_files RELATIVE "${PLOTRUNE_ROOT}/t" "${PLOTRUNE_ROOT}/t/*.t")
  foreach(test_file IN LISTS test_files)
    add_test(NAME "${arch}/${module}/${test_file}"
      COMMAND "${perl}" ${cfg_test_command} "${PLOTRUNE_ROOT}/t/${test_file}"
      WORKING_DIRECTORY "${CMAKE_BINARY_DIR}")
    set_tests_properties("${arch}/${module}/${test_file}" PROPERTIES
      LABELS "${module};${arch}"
      ENVIRONMENT "PLOTRUNE_MANIFEST=${PLOTRUNE_MANIFEST};PLOTRUNE_MODULE=${module};PLOTRUNE_ARCH=${arch};${sanitize_env}")
  endforeach()
endfunction()

# After every perl's module: the tree's manifest, and one archive of the tree
# (cpack, or the package target).
function(plotrune_end_install)
  get_property(lines GLOBAL PROPERTY PLOTRUNE_BUILD_LINES)
  set(builds "${CMAKE_BINARY_DIR}/builds.tsv")
  string(REPLACE ";" "" lines "${lines}")
  file(WRITE "${builds}" "# perlplotrune ${PROJECT_VERSION}: the builds in this tree, then the SHA-256 of every file in it\n"
                         "# build\tmodule\tperl\tthreads\tiv_bits\tptr_bits\tarchname\tsupported\tchecked\tinterface\n${lines}")
  get_property(engine_builds GLOBAL PROPERTY PLOTRUNE_ENGINE_BUILDS)
  string(REPLACE ";" "\n" engine_builds "${engine_builds}")
  file(WRITE "${CMAKE_BINARY_DIR}/engine-folders.txt" "${engine_builds}\n")
  install(CODE "set(PLOTRUNE_ENGINE_STEP copy)
    include(\"${PLOTRUNE_ROOT}/configs/install_engine.cmake\")")
  if(NOT PLOTRUNE_INSTALL_SITE)
    install(CODE "set(PLOTRUNE_BUILDS \"${builds}\")
      include(\"${PLOTRUNE_ROOT}/configs/install_manifest.cmake\")")
  endif()
  # The last line of an install without an engine says where one must go.
  install(CODE "set(PLOTRUNE_ENGINE_STEP note)
    include(\"${PLOTRUNE_ROOT}/configs/install_engine.cmake\")")

  get_property(built GLOBAL PROPERTY PLOTRUNE_BUILT)
  set(arches "")
  foreach(item IN LISTS built)
    string(REGEX REPLACE "/.*" "" item_arch "${item}")
    list(APPEND arches "${item_arch}")
  endforeach()
  list(REMOVE_DUPLICATES arches)
  list(SORT arches)
  string(REPLACE ";" "-" arches "${arches}")
  set(CPACK_GENERATOR TXZ)
  set(CPACK_PACKAGE_NAME perlplotrune)
  set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
  set(CPACK_PACKAGE_FILE_NAME "${PLOTRUNE_PACKAGE_STEM}-${PROJECT_VERSION}-${arches}")
  set(CPACK_SOURCE_GENERATOR "")
  include(CPack)

  # The tests' tree holds every build with its own stand-in engine, given
  # the way an engine maintainer gives theirs; the tests' archive holds none.
  # A build that installs into the perls' own site folders gets neither: its
  # tests must not write there (t/install.t then skips).
  if(PLOTRUNE_INSTALL_SITE)
    return()
  endif()
  set(tree "${CMAKE_BINARY_DIR}/test-tree")
  set(package_dir "${CMAKE_BINARY_DIR}/test-package")
  set(package "${package_dir}/${PLOTRUNE_PACKAGE_STEM}-${PROJECT_VERSION}-${arches}.tar.xz")
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
  foreach(item IN LISTS built)
    set_property(TEST "${item}/install.t" APPEND PROPERTY FIXTURES_REQUIRED plotrune_tree plotrune_package)
    set_property(TEST "${item}/install.t" APPEND PROPERTY ENVIRONMENT
                 "PLOTRUNE_TREE=${tree}" "PLOTRUNE_TREE_MANIFEST=${tree}/perlplotrune-manifest.tsv" "PLOTRUNE_PACKAGE=${package}")
  endforeach()
endfunction()
