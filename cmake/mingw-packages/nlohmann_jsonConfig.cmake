include(${CMAKE_CURRENT_LIST_DIR}/HostHeaders.cmake)
vantor_host_header_target(nlohmann_json::nlohmann_json nlohmann)
