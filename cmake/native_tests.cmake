# The native Linux build: the portable logic on the simulated platform, under GoogleTest.
find_package(GTest REQUIRED)
enable_testing()

# Memory and undefined-behaviour faults fail the tests.
add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=all)
add_link_options(-fsanitize=address,undefined)

add_library(krev_logic STATIC ${KREV_LOGIC_SOURCES} ${PLATFORM_TEXT_SOURCES} farrow/url_launcher.cpp
    portallaunch/portal_launcher.cpp runlatch/autorun_starter.cpp outside/autorun/package_opener.cpp
    ${INSTALLER_HELPER_SOURCES}
    outside/closekrev/installed_closer.cpp)
add_library(sim_platform STATIC outside/sc/reader_report.cpp platform/sim/sim_platform.cpp platform/sim/sim_files.cpp platform/sim/sim_titles.cpp platform/sim/sim_folders.cpp platform/sim/sim_processes.cpp
    platform/sim/sim_drawing.cpp)
target_link_libraries(sim_platform PUBLIC krev_logic)

find_package(Threads REQUIRED)
find_package(PkgConfig REQUIRED)
pkg_check_modules(PCSC REQUIRED IMPORTED_TARGET libpcsclite)

# The card library on pcsc-lite: the very source of the Windows SC.dll.
set(SC_WATCH_SOURCES outside/sc/pcsc_sc.cpp outside/sc/reader_report.cpp outside/sc/reader_watch.cpp
    outside/sc/watch_thread_posix.cpp)
add_library(SC SHARED ${SC_WATCH_SOURCES} outside/sc/service_start_pcsclite.cpp)
target_link_libraries(SC PRIVATE PkgConfig::PCSC)
set_target_properties(SC PROPERTIES CXX_VISIBILITY_PRESET hidden)
file(GLOB UNIT_TEST_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/unit/*.cpp)
# The card library's source is in the unit tests too, on a card service that they script (its
# start event among it).
add_executable(unit_tests ${UNIT_TEST_SOURCES} ${SC_WATCH_SOURCES} outside/pellit/version_digest.cpp)
target_include_directories(unit_tests PRIVATE ${PCSC_INCLUDE_DIRS})
target_link_libraries(unit_tests PRIVATE sim_platform GTest::gtest GTest::gtest_main Threads::Threads)
gtest_discover_tests(unit_tests)

# Against a real pcscd with the vpcd virtual reader driver; the tests start and stop pcscd.
file(GLOB PCSC_TEST_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/pcsc/*.cpp)
add_executable(pcsc_tests ${PCSC_TEST_SOURCES})
target_link_libraries(pcsc_tests PRIVATE SC sim_platform GTest::gtest Threads::Threads)
add_test(NAME pcsc_tests COMMAND pcsc_tests)
set_tests_properties(pcsc_tests PROPERTIES TIMEOUT 600 RUN_SERIAL TRUE SKIP_RETURN_CODE 77)

# Every source of this tree and the two Windows ones compiled by clang as well: standard C++17
# without a warning, whatever GCC accepts.
set(KREV_STANDARD_CHECK_TREES ${CMAKE_BINARY_DIR} ${CMAKE_BINARY_DIR}/../i686 ${CMAKE_BINARY_DIR}/../x86_64)
add_test(NAME sources_standard_cpp
    COMMAND python3 ${CMAKE_SOURCE_DIR}/scripts/standard_check.py ${KREV_STANDARD_CHECK_TREES}
            --reason-file ${CMAKE_BINARY_DIR}/sources_standard_cpp.skipped)
set_tests_properties(sources_standard_cpp PROPERTIES TIMEOUT 900 SKIP_RETURN_CODE 77)

# The same virtual card as a program, for the real-chain tests under Wine 10.
add_executable(virtual_card tests/realchain/virtual_card.cpp tests/pcsc/pcsc_rig.cpp)
target_link_libraries(virtual_card PRIVATE Threads::Threads)

# Test environment: the shim that mends what Debian's Wine 10 hands pcsc-lite (its source says
# what), preloaded by the real-chain tests into the 32-bit and the 64-bit Wine processes. The
# 32-bit one is built by the i686 cross compiler (gcc-i686-linux-gnu), so that this machine needs
# no i386 packages of its own.
set(KREV_PCSC_SHIM_SOURCE ${CMAKE_SOURCE_DIR}/tests/realchain/pcsc_shim.c)
set(KREV_PCSC64_SHIM ${CMAKE_BINARY_DIR}/libkrev_pcsc64.so)
add_custom_command(OUTPUT ${KREV_PCSC64_SHIM}
    COMMAND ${CMAKE_C_COMPILER} -shared -fPIC -O2 -Wall -Wextra -o ${KREV_PCSC64_SHIM} ${KREV_PCSC_SHIM_SOURCE} -ldl
    DEPENDS ${KREV_PCSC_SHIM_SOURCE}
    COMMENT "Building the 64-bit card-service shim")
set(KREV_PCSC_SHIMS ${KREV_PCSC64_SHIM})
find_program(KREV_I686_LINUX_CC i686-linux-gnu-gcc)
if(KREV_I686_LINUX_CC)
    set(KREV_PCSC32_SHIM ${CMAKE_BINARY_DIR}/libkrev_pcsc32.so)
    add_custom_command(OUTPUT ${KREV_PCSC32_SHIM}
        COMMAND ${KREV_I686_LINUX_CC} -shared -fPIC -O2 -Wall -Wextra -o ${KREV_PCSC32_SHIM} ${KREV_PCSC_SHIM_SOURCE} -ldl
        DEPENDS ${KREV_PCSC_SHIM_SOURCE}
        COMMENT "Building the 32-bit card-service shim")
    list(APPEND KREV_PCSC_SHIMS ${KREV_PCSC32_SHIM})
endif()
add_custom_target(krev_pcsc_shims ALL DEPENDS ${KREV_PCSC_SHIMS})
