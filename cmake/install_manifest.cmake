# Install-time, after every module of a tree install (included by
# cmake_install): writes the tree's manifest, each build with its
# configuration and architecture, then the SHA-256 of every file installed.
# In: PLOTRUNE_BUILDS (the builds' lines, written at configure time).  Not
# Perl's work: the perl installing may lack Digest::SHA.

set(root "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}")
set(manifest "${root}/perlplotrune-manifest.tsv")
file(READ "${PLOTRUNE_BUILDS}" text)
string(APPEND text "# sha256\tfile\n")
set(files ${CMAKE_INSTALL_MANIFEST_FILES})
list(REMOVE_DUPLICATES files)
list(SORT files)
foreach(file IN LISTS files)
  if(NOT IS_ABSOLUTE "${file}")
    set(file "${root}/${file}")
  elseif(NOT EXISTS "${file}")
    # A file by its final path: under DESTDIR it lies below it.
    set(file "$ENV{DESTDIR}${file}")
  endif()
  if(NOT EXISTS "${file}" OR IS_DIRECTORY "${file}")
    continue()
  endif()
  string(LENGTH "${root}/" skip)
  string(SUBSTRING "${file}" ${skip} -1 relative)
  file(SHA256 "${file}" sum)
  string(APPEND text "sha256\t${sum}\t${relative}\n")
endforeach()
file(WRITE "${manifest}" "${text}")
message(STATUS "Manifest: ${manifest}")
