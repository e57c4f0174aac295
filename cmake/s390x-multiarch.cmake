# Included after project() in s390x builds. Debian's CMake files for Assimp name the
# target's libz.so and librt.a, which only -dev packages install, and those cannot be
# installed for s390x beside amd64 (libc6-dev:s390x conflicts). The runtime libraries
# are there; the targets are defined on them, and Assimp's own files then keep them.
set(ZLIB_LIBRARY /usr/lib/s390x-linux-gnu/libz.so.1 CACHE FILEPATH "zlib, runtime library")
set(ZLIB_INCLUDE_DIR /usr/include CACHE PATH "zlib headers (the same for every architecture)")
if(NOT TARGET assimp::assimp)
  add_library(assimp::assimp SHARED IMPORTED)
  set_target_properties(assimp::assimp PROPERTIES
    IMPORTED_LOCATION /usr/lib/s390x-linux-gnu/libassimp.so.5
    INTERFACE_INCLUDE_DIRECTORIES /usr/include)
endif()
