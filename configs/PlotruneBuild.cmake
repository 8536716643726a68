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

# Flags that the C compiler takes and C++ refuses or warns about.
set(PLOTRUNE_C_ONLY_FLAGS
  "^-std=" "^-Wdeclaration-after-statement$" "^-Wc\\+\\+-compat$" "^-Wbad-function-cast$"
  "^-Wnested-externs$" "^-Wstrict-prototypes$" "^-Wmissing-prototypes$" "^-Wold-style-definition$")

function(plotrune_begin_manifest file)
  set(PLOTRUNE_MANIFEST "${file}" PARENT_SCOPE)
  file(WRITE "${file}" "module\tarch\tperl\tmodule_file\tengine_file\tengine_without_entry_file\tengine_lazy_file\tsupported\n")
endfunction()

function(plotrune_flags out text)
  separate_arguments(words UNIX_COMMAND "${text}")
  set(kept "")
  foreach(word IN LISTS words)
    set(drop FALSE)
    foreach(pattern IN LISTS PLOTRUNE_C_ONLY_FLAGS)
      if(word MATCHES "${pattern}")
        set(drop TRUE)
      endif()
    endforeach()
    if(NOT drop)
      list(APPEND kept "${word}")
    endif()
  endforeach()
  set(${out} "${kept}" PARENT_SCOPE)
endfunction()

function(plotrune_add_perl perl)
  if(NOT IS_ABSOLUTE "${perl}")
    find_program(found_perl "${perl}" NO_CACHE)
    if(NOT found_perl)
      message(FATAL_ERROR "perl '${perl}': not found")
    endif()
    set(perl "${found_perl}")
  endif()
  execute_process(COMMAND "${perl}" "${PLOTRUNE_ROOT}/configs/probe_perl.pl" "${PLOTRUNE_CONFIG_TABLE}"
                  OUTPUT_VARIABLE probe ERROR_VARIABLE why RESULT_VARIABLE failed)
  if(failed)
    string(STRIP "${why}${failed}" why)
    message(FATAL_ERROR "perl '${perl}': cannot build for it: ${why}")
  endif()
  string(REPLACE ";" "\\;" probe "${probe}")
  string(REPLACE "\n" ";" lines "${probe}")
  foreach(line IN LISTS lines)
    if(line MATCHES "^([a-z_]+)\t(.*)$")
      set(cfg_${CMAKE_MATCH_1} "${CMAKE_MATCH_2}")
    endif()
  endforeach()

  if(NOT cfg_module OR NOT cfg_core)
    message(FATAL_ERROR "perl '${perl}': cannot build for it: it gave no configuration (is it a perl?)")
  endif()
  set(module "${cfg_module}")
  if(cfg_ptr_bits EQUAL 32)
    set(arch i386)
  else()
    set(arch x86_64)
  endif()
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

  # A 32-bit perl on this 64-bit host: its Config may not say -m32 itself.
  set(arch_flags "")
  if(cfg_ptr_bits EQUAL 32 AND CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(arch_flags -m32)
  endif()

  set(dir "${CMAKE_BINARY_DIR}/modules/${arch}/${module}")
  set(target "${module}_${arch}")
  plotrune_flags(perl_cflags "${cfg_ccflags} ${cfg_optimize} ${cfg_cccdlflags}")
  plotrune_flags(perl_ldflags "${cfg_lddlflags}")
  list(REMOVE_ITEM perl_ldflags -shared)

  # The module: C++ without its runtime.  It records no needed library and
  # exports only its boot symbol; everything it calls is resolved from the
  # perl process that loads it.
  set(exports "${CMAKE_BINARY_DIR}/exports/${target}.map")
  file(WRITE "${exports}" "{ global: boot_${module}; local: *; };\n")
  add_library(${target} MODULE "${PLOTRUNE_ROOT}/module/perlapi.cpp")
  # The interpreter's headers are its own: their warnings (old ones predate
  # C++11's literal rules) are not ours to see.
  target_include_directories(${target} PRIVATE "${PLOTRUNE_ROOT}/contract")
  target_include_directories(${target} SYSTEM PRIVATE "${cfg_core}")
  target_compile_definitions(${target} PRIVATE PLOTRUNE_MODULE=${module})
  # -fno-plt: the module calls into the interpreter several times per Perl
  # call (each fetch of the current interpreter is one); through the GOT each
  # call skips the PLT's jump.
  target_compile_options(${target} PRIVATE ${arch_flags} ${perl_cflags}
    -std=gnu++14 -fno-exceptions -fno-rtti -fno-threadsafe-statics -fvisibility=hidden -fno-plt
    -Wall -Wextra -Wno-unused-parameter)
  target_link_options(${target} PRIVATE ${arch_flags} ${perl_ldflags} -nostdlib
    "-Wl,--version-script=${exports}")
  target_link_libraries(${target} PRIVATE gcc c_nonshared)
  set_target_properties(${target} PROPERTIES PREFIX "" OUTPUT_NAME "${module}"
    LIBRARY_OUTPUT_DIRECTORY "${dir}" LINK_DEPENDS "${exports}")

  # The stand-in engine beside it; for the load tests, a library of the
  # engine's name that lacks runMethod, and an engine with a symbol nobody
  # defines, which only lazy binding can open.
  foreach(kind engine no_entry lazy)
    set(source standin_engine.c)
    set(out "${dir}")
    if(kind STREQUAL no_entry)
      set(source no_entry.c)
      set(out "${dir}/no-entry")
    elseif(kind STREQUAL lazy)
      set(out "${dir}/lazy")
    endif()
    add_library(${target}_${kind} MODULE "${PLOTRUNE_ROOT}/engine/${source}")
    if(kind STREQUAL lazy)
      target_compile_definitions(${target}_${kind} PRIVATE PLOTRUNE_NEEDS_LAZY_BINDING)
    endif()
    target_include_directories(${target}_${kind} PRIVATE "${PLOTRUNE_ROOT}/contract")
    target_compile_options(${target}_${kind} PRIVATE ${arch_flags} -std=c11 -O2 -g
      -fvisibility=hidden -Wall -Wextra)
    target_link_options(${target}_${kind} PRIVATE ${arch_flags})
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
    foreach(kind engine no_entry lazy)
      target_compile_options(${target}_${kind} PRIVATE ${sanitize_flags})
    endforeach()
    execute_process(COMMAND ${CMAKE_CXX_COMPILER} ${arch_flags} -print-file-name=libasan.so
                    OUTPUT_VARIABLE asan_lib OUTPUT_STRIP_TRAILING_WHITESPACE)
    execute_process(COMMAND ${CMAKE_CXX_COMPILER} ${arch_flags} -print-file-name=libubsan.so
                    OUTPUT_VARIABLE ubsan_lib OUTPUT_STRIP_TRAILING_WHITESPACE)
    # PERL_DESTRUCT_LEVEL=2 makes perl free what it holds at exit, so that
    # the leak check sees only real leaks.
    set(sanitize_env "LD_PRELOAD=${asan_lib} ${ubsan_lib};PERL_DESTRUCT_LEVEL=2"
        "ASAN_OPTIONS=detect_leaks=1:strict_string_checks=1:detect_stack_use_after_return=1"
        "UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1"
        "LSAN_OPTIONS=suppressions=${PLOTRUNE_ROOT}/tools/lsan.supp:print_suppressions=0")
  endif()

  set(module_file "${dir}/${module}.so")
  file(APPEND "${PLOTRUNE_MANIFEST}"
    "${module}\t${arch}\t${perl}\t${module_file}\t${dir}/libplotrune.so\t${dir}/no-entry/libplotrune.so\t${dir}/lazy/libplotrune.so\t${cfg_supported}\n")

  # Every test file runs under this module's own perl, through prove.
  file(GLOB test_files RELATIVE "${PLOTRUNE_ROOT}/tests" "${PLOTRUNE_ROOT}/tests/*.t")
  foreach(test_file IN LISTS test_files)
    add_test(NAME "${arch}/${module}/${test_file}"
      COMMAND "${perl}" -MApp::Prove
              -e "my $p = App::Prove->new; $p->process_args(@ARGV); exit($p->run ? 0 : 1)"
              -- -I "${PLOTRUNE_ROOT}/tests/lib" "${PLOTRUNE_ROOT}/tests/${test_file}"
      WORKING_DIRECTORY "${CMAKE_BINARY_DIR}")
    set_tests_properties("${arch}/${module}/${test_file}" PROPERTIES
      LABELS "${module};${arch}"
      ENVIRONMENT "PLOTRUNE_MANIFEST=${PLOTRUNE_MANIFEST};PLOTRUNE_MODULE=${module};PLOTRUNE_ARCH=${arch};${sanitize_env}")
  endforeach()
endfunction()
