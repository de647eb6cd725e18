# Where pugixml comes from.
#
# By default the static library of the system's package (position-independent,
# so it links into the shared library). Setting TAVROLINK_PUGIXML_SOURCE_DIR to
# a pugixml source tree compiles it from there instead, which is how a cross
# build gets the same version.
set(TAVROLINK_PUGIXML_SOURCE_DIR "" CACHE PATH "pugixml source tree to compile instead of the system library")

if(TAVROLINK_PUGIXML_SOURCE_DIR)
  add_library(tavrolink_pugixml STATIC ${TAVROLINK_PUGIXML_SOURCE_DIR}/src/pugixml.cpp)
  target_include_directories(tavrolink_pugixml SYSTEM PUBLIC ${TAVROLINK_PUGIXML_SOURCE_DIR}/src)
else()
  find_path(PUGIXML_INCLUDE_DIR pugixml.hpp REQUIRED)
  find_library(PUGIXML_STATIC_LIBRARY NAMES libpugixml.a REQUIRED)
  add_library(tavrolink_pugixml INTERFACE)
  target_include_directories(tavrolink_pugixml SYSTEM INTERFACE ${PUGIXML_INCLUDE_DIR})
  target_link_libraries(tavrolink_pugixml INTERFACE ${PUGIXML_STATIC_LIBRARY})
endif()
