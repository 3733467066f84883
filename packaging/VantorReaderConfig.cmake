# find_package(VantorReader) gives the imported target
# VantorReader::vantorreader: the shared library with its header.
include("${CMAKE_CURRENT_LIST_DIR}/VantorReaderTargets.cmake")
