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

# Install: a Perl library tree under the prefix (lib/perl5, the modules under
# each perl's archname), or straight into each perl's own site folders.
option(PLOTRUNE_INSTALL_SITE "Install into each perl's own site folders instead of a tree under the prefix" OFF)
set(PLOTRUNE_ENGINE "" CACHE STRING
    "Engine library (or several, one per architecture, separated by ':') to install beside every module")
set_property(GLOBAL PROPERTY PLOTRUNE_PERL_LIBS "")
set_property(GLOBAL PROPERTY PLOTRUNE_BUILD_LINES "")
set_property(GLOBAL PROPERTY PLOTRUNE_STANDIN_ENGINES "")

function(plotrune_begin_manifest file)
  set(PLOTRUNE_MANIFEST "${file}" PARENT_SCOPE)
  file(WRITE "${file}" "module\tarch\tperl\tmodule_file\tengine_file\tengine_without_entry_file\tengine_lazy_file\tsupported\tchecked\tengine_breaching_file\n")
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
    string(STRIP "${why}${failed}" why)
    message(FATAL_ERROR "perl '${perl}': cannot build for it: ${why}")
  endif()
  # Lists come with their words separated by \x1f.
  string(ASCII 31 word_separator)
  string(REPLACE ";" "\\;" probe "${probe}")
  string(REPLACE "\n" ";" lines "${probe}")
  foreach(line IN LISTS lines)
    if(line MATCHES "^([a-z_]+)\t(.*)$")
      string(REPLACE "${word_separator}" ";" value "${CMAKE_MATCH_2}")
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
                   "beyond the supported set (Perl 5.12 to 5.22 on 32-bit x86)")
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

  # The stand-in engine beside it; for the load tests, a library of the
  # engine's name that lacks runMethod, and an engine with a symbol nobody
  # defines, which only lazy binding can open.
  # The checked build's tests add an engine that breaks every rule it can.
  set(engine_kinds engine no_entry lazy)
  set(breaching_file "")
  if(PLOTRUNE_CHECKED)
    list(APPEND engine_kinds breaching)
    set(breaching_file "${dir}/breaching/libplotrune.so")
  endif()
  foreach(kind IN LISTS engine_kinds)
    set(source standin_engine.c)
    set(out "${dir}")
    if(kind STREQUAL no_entry)
      set(source no_entry.c)
      set(out "${dir}/no-entry")
    elseif(kind STREQUAL lazy)
      set(out "${dir}/lazy")
    elseif(kind STREQUAL breaching)
      set(source breaching_engine.c)
      set(out "${dir}/breaching")
    endif()
    add_library(${target}_${kind} MODULE "${PLOTRUNE_ROOT}/engine/${source}")
    if(kind STREQUAL lazy)
      target_compile_definitions(${target}_${kind} PRIVATE PLOTRUNE_NEEDS_LAZY_BINDING)
    endif()
    target_compile_options(${target}_${kind} PRIVATE ${cfg_engine_flags})
    target_link_options(${target}_${kind} PRIVATE ${cfg_engine_ldflags})
    if(kind STREQUAL breaching)
      # It calls the table from a thread of its own.
      target_compile_options(${target}_${kind} PRIVATE -pthread)
      target_link_options(${target}_${kind} PRIVATE -pthread)
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
    foreach(kind IN LISTS engine_kinds)
      target_compile_options(${target}_${kind} PRIVATE ${sanitize_flags})
    endforeach()
    execute_process(COMMAND ${CMAKE_CXX_COMPILER} ${cfg_engine_ldflags} -print-file-name=libasan.so
                    OUTPUT_VARIABLE asan_lib OUTPUT_STRIP_TRAILING_WHITESPACE)
    execute_process(COMMAND ${CMAKE_CXX_COMPILER} ${cfg_engine_ldflags} -print-file-name=libubsan.so
                    OUTPUT_VARIABLE ubsan_lib OUTPUT_STRIP_TRAILING_WHITESPACE)
    # PERL_DESTRUCT_LEVEL=2 makes perl free what it holds at exit, so that
    # the leak check sees only real leaks.
    set(sanitize_env "LD_PRELOAD=${asan_lib} ${ubsan_lib};PERL_DESTRUCT_LEVEL=2"
        "ASAN_OPTIONS=detect_leaks=1:strict_string_checks=1:detect_stack_use_after_return=1"
        "UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1"
        "LSAN_OPTIONS=suppressions=${PLOTRUNE_ROOT}/tools/lsan.supp:print_suppressions=0")
  endif()

  set_property(GLOBAL APPEND PROPERTY PLOTRUNE_STANDIN_ENGINES "${dir}/libplotrune.so")

  set(module_file "${dir}/${module}.so")
  file(APPEND "${PLOTRUNE_MANIFEST}"
    "${module}\t${arch}\t${perl}\t${module_file}\t${dir}/libplotrune.so\t${dir}/no-entry/libplotrune.so\t${dir}/lazy/libplotrune.so\t${cfg_supported}\t${cfg_checked}\t${breaching_file}\n")

  if(PLOTRUNE_INSTALL_SITE)
    set(lib_dir "${cfg_site_lib}")
    set(arch_dir "${cfg_site_arch}")
    set(auto_dir "${cfg_site_auto}")
  else()
    set(lib_dir "${cfg_tree_lib}")
    set(arch_dir "${cfg_tree_arch}")
    set(auto_dir "${cfg_tree_auto}")
  endif()
  install(TARGETS ${target} LIBRARY DESTINATION "${auto_dir}")
  install(FILES "${dir}/${module}.pm" DESTINATION "${arch_dir}")
  get_property(perl_libs GLOBAL PROPERTY PLOTRUNE_PERL_LIBS)
  if(NOT "${lib_dir}" IN_LIST perl_libs)
    set_property(GLOBAL APPEND PROPERTY PLOTRUNE_PERL_LIBS "${lib_dir}")
    foreach(file IN LISTS cfg_perl_files)
      get_filename_component(sub "${file}" DIRECTORY)
      install(FILES "${PLOTRUNE_ROOT}/lib/${file}" DESTINATION "${lib_dir}/${sub}")
    endforeach()
  endif()
  if(IS_ABSOLUTE "${auto_dir}")
    set(engine_dir "${auto_dir}")
  else()
    set(engine_dir "\${CMAKE_INSTALL_PREFIX}/${auto_dir}")
  endif()
  install(CODE "set(PLOTRUNE_AUTO \"${engine_dir}\")
    set(PLOTRUNE_PTR_BITS ${cfg_ptr_bits})
    set(PLOTRUNE_MODULE ${module})
    set(PLOTRUNE_CONFIGURED_ENGINE \"${PLOTRUNE_ENGINE}\")
    include(\"${PLOTRUNE_ROOT}/configs/install_engine.cmake\")")
  set_property(GLOBAL APPEND PROPERTY PLOTRUNE_BUILD_LINES
    "build\t${module}\t${cfg_version}\t${cfg_threads}\t${cfg_iv_bits}\t${cfg_ptr_bits}\t${cfg_archname}\t${cfg_supported}\t${cfg_checked}\n")

  # Every test file runs under this module's own perl, through prove.
  file(GLOB test_files RELATIVE "${PLOTRUNE_ROOT}/t" "${PLOTRUNE_ROOT}/t/*.t")
  foreach(test_file IN LISTS test_files)
    add_test(NAME "${arch}/${module}/${test_file}"
      COMMAND "${perl}" -MApp::Prove
              -e "my $p = App::Prove->new; $p->process_args(@ARGV); exit($p->run ? 0 : 1)"
              -- -I "${PLOTRUNE_ROOT}/t/lib" "${PLOTRUNE_ROOT}/t/${test_file}"
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
                         "# build\tmodule\tperl\tthreads\tiv_bits\tptr_bits\tarchname\tsupported\tchecked\n${lines}")
  if(NOT PLOTRUNE_INSTALL_SITE)
    install(CODE "set(PLOTRUNE_BUILDS \"${builds}\")
      include(\"${PLOTRUNE_ROOT}/configs/install_manifest.cmake\")")
  endif()

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
