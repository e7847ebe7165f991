# The Windows programs, built with MinGW-w64 into dist/<win32|win64>/.
set(KREV_DIST_DIR ${CMAKE_SOURCE_DIR}/dist CACHE PATH "Where the shipped files go")
if(CMAKE_SYSTEM_PROCESSOR STREQUAL "i686")
    set(DIST_DIR ${KREV_DIST_DIR}/win32)
    set(STDCALL_4 "@4")
    set(STDCALL_8 "@8")
    set(STDCALL_12 "@12")
else()
    set(DIST_DIR ${KREV_DIST_DIR}/win64)
    set(STDCALL_4 "")
    set(STDCALL_8 "")
    set(STDCALL_12 "")
endif()
set(CMAKE_RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)

enable_language(RC)
find_package(Python3 REQUIRED COMPONENTS Interpreter)
string(REGEX REPLACE "g\\+\\+$" "dlltool" DLLTOOL ${CMAKE_CXX_COMPILER})

# GUI programs without a console that need no DLL of the MinGW runtime beside them.
set(WINDOWS_PROGRAM_LINK_OPTIONS -mwindows -static -static-libgcc -static-libstdc++)

include(cmake/signing.cmake)
function(krev_deliverable target)
    set_target_properties(${target} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${DIST_DIR})
    krev_sign(${target})
endfunction()

# The version resource of a shipped file and, for a program (APP), its manifest: one template
# each, in cmake/, for every file.
string(REPLACE "." "," KREV_VERSION_COMMAS ${KREV_VERSION})
function(krev_marks target file_name kind description)
    set(KREV_FILE_NAME ${file_name})
    set(KREV_FILE_DESCRIPTION ${description})
    get_filename_component(KREV_INTERNAL_NAME ${file_name} NAME_WE)
    set(marks ${CMAKE_BINARY_DIR}/marks/${KREV_INTERNAL_NAME})
    if(kind STREQUAL "APP")
        set(KREV_FILE_TYPE VFT_APP)
        configure_file(${CMAKE_SOURCE_DIR}/cmake/program.manifest.in ${marks}.manifest @ONLY)
        set(KREV_MANIFEST_LINE "1 24 \"${marks}.manifest\"")
        set_source_files_properties(${marks}.rc PROPERTIES OBJECT_DEPENDS ${marks}.manifest)
    else()
        set(KREV_FILE_TYPE VFT_DLL)
        set(KREV_MANIFEST_LINE "")
    endif()
    configure_file(${CMAKE_SOURCE_DIR}/cmake/version.rc.in ${marks}.rc @ONLY)
    target_sources(${target} PRIVATE ${marks}.rc)
endfunction()

# Pictures, drawn by a script at build time.
set(PICTURE_DIR ${CMAKE_BINARY_DIR}/pictures)
set(PICTURES ${PICTURE_DIR}/card_red.ico ${PICTURE_DIR}/card_grey.ico ${PICTURE_DIR}/banner.bmp
             ${PICTURE_DIR}/small_card.bmp)
add_custom_command(OUTPUT ${PICTURES}
    COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/krev/res/make_pictures.py ${PICTURE_DIR}
    DEPENDS ${CMAKE_SOURCE_DIR}/krev/res/make_pictures.py
    COMMENT "Drawing icons and bitmaps")
add_custom_target(pictures DEPENDS ${PICTURES})
# The resource compiler does not report the pictures it reads: redrawn, they compile again.
set_source_files_properties(krev/res/krev.rc runlatch/runlatch.rc PROPERTIES OBJECT_DEPENDS "${PICTURES}")
set(CMAKE_RC_FLAGS "${CMAKE_RC_FLAGS} -I${PICTURE_DIR} -I${CMAKE_SOURCE_DIR}/krev/res -I${CMAKE_BINARY_DIR}/generated")

# SC.dll on PC/SC (shipped), the scriptable SC.dll for the Wine tests (bin/scripted), and the
# import library Krev binds either with.
configure_file(outside/sc/sc.def.in ${CMAKE_BINARY_DIR}/sc.def @ONLY)
set(SC_LINK_OPTIONS -s -static -static-libgcc -static-libstdc++
    $<$<STREQUAL:${CMAKE_SYSTEM_PROCESSOR},i686>:-Wl,--kill-at>)
add_library(SC SHARED outside/sc/pcsc_sc.cpp outside/sc/reader_report.cpp outside/sc/reader_watch.cpp
    outside/sc/watch_thread_win32.cpp outside/sc/service_start_win32.cpp ${CMAKE_BINARY_DIR}/sc.def)
set_target_properties(SC PROPERTIES PREFIX "" OUTPUT_NAME SC)
krev_marks(SC SC.dll DLL "Vyx 讀卡機函式庫")
target_link_libraries(SC PRIVATE winscard)
target_link_options(SC PRIVATE ${SC_LINK_OPTIONS})
krev_deliverable(SC)
add_library(ScriptedSC SHARED outside/sc/scripted_sc.cpp ${CMAKE_BINARY_DIR}/sc.def)
set_target_properties(ScriptedSC PROPERTIES PREFIX "" OUTPUT_NAME SC RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin/scripted
    ARCHIVE_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/scripted)
target_link_options(ScriptedSC PRIVATE ${SC_LINK_OPTIONS})
set(SC_IMPORT_LIBRARY ${CMAKE_BINARY_DIR}/libsc_import.a)
# dlltool (binutils 2.40) leaves two empty temporary files behind at each run: they go to a folder
# of the build tree, removed again, rather than to the machine's /tmp.
set(DLLTOOL_TEMP ${CMAKE_BINARY_DIR}/dlltool-temp)
add_custom_command(OUTPUT ${SC_IMPORT_LIBRARY}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${DLLTOOL_TEMP}
    COMMAND ${CMAKE_COMMAND} -E env TMPDIR=${DLLTOOL_TEMP} ${DLLTOOL} -d ${CMAKE_BINARY_DIR}/sc.def -l ${SC_IMPORT_LIBRARY} -k
    COMMAND ${CMAKE_COMMAND} -E rm -rf ${DLLTOOL_TEMP}
    DEPENDS ${CMAKE_BINARY_DIR}/sc.def)
add_custom_target(sc_import_library DEPENDS ${SC_IMPORT_LIBRARY})

add_library(platform_text STATIC ${PLATFORM_TEXT_SOURCES})
add_library(process_starter STATIC platform/win32/process_starter_win32.cpp platform/win32/system_library.cpp)
target_link_libraries(process_starter PUBLIC platform_text shell32 shlwapi ole32)

set(WIN32_FOLDER_SOURCES platform/win32/files_win32.cpp platform/win32/held_folder_win32.cpp
    platform/win32/cp950_win32.cpp)
add_executable(Krev ${KREV_LOGIC_SOURCES} platform/win32/win32_platform.cpp platform/win32/window_titles_win32.cpp
    platform/win32/processes_win32.cpp
    platform/win32/system_library.cpp ${WIN32_FOLDER_SOURCES} krev/win32/winmain.cpp krev/res/krev.rc)
add_dependencies(Krev pictures sc_import_library)
target_link_libraries(Krev PRIVATE process_starter ${SC_IMPORT_LIBRARY} user32 gdi32 shell32)
target_link_options(Krev PRIVATE ${WINDOWS_PROGRAM_LINK_OPTIONS} -s)
target_link_libraries(Krev PRIVATE comctl32)
krev_deliverable(Krev)
krev_marks(Krev Krev.exe APP "Vyx 讀卡機監控程式")

# The launchers stay small: C-style code, size-optimised and stripped.
function(krev_launcher target)
    add_executable(${target} ${ARGN})
    target_compile_options(${target} PRIVATE -Os -fno-exceptions -fno-rtti)
    target_link_libraries(${target} PRIVATE process_starter)
    target_link_options(${target} PRIVATE ${WINDOWS_PROGRAM_LINK_OPTIONS} -s)
    krev_deliverable(${target})
endfunction()
krev_launcher(Farrow farrow/url_launcher.cpp farrow/win32_main.cpp)
krev_marks(Farrow Farrow.exe APP "Vyx 網頁開啟程式")
krev_launcher(PortalLaunch portallaunch/portal_launcher.cpp portallaunch/win32_main.cpp)
krev_marks(PortalLaunch PortalLaunch.exe APP "Vyx 入口網站開啟程式")
krev_launcher(Runlatch runlatch/autorun_starter.cpp runlatch/win32_main.cpp runlatch/runlatch.rc)
krev_marks(Runlatch Runlatch.exe APP "Vyx 光碟自動執行程式")
add_dependencies(Runlatch pictures)

# The outside programs Krev starts: Pellit.dll and Go.dll are programs despite their names.
krev_launcher(Pellit outside/pellit/version_fetcher.cpp outside/pellit/version_digest.cpp krev/version_record.cpp)
target_link_libraries(Pellit PRIVATE wininet)
krev_marks(Pellit Pellit.dll APP "Vyx 版本檢查程式")
krev_launcher(Go outside/go/mail_starter.cpp)
target_link_libraries(Go PRIVATE ole32)
krev_marks(Go Go.dll APP "Vyx 客戶服務郵件程式")
set_target_properties(Pellit Go PROPERTIES SUFFIX ".dll")
# Windows Installer runs CloseKREV.exe and SetupKREV.exe from temporary files: they import only
# known DLLs and load any other system DLL by its full path (platform/win32/system_library.h).
krev_launcher(CloseKREV outside/closekrev/instance_closer.cpp outside/closekrev/installed_closer.cpp
    platform/win32/processes_win32.cpp platform/win32/system_library.cpp)
krev_marks(CloseKREV CloseKREV.exe APP "Vyx 程式結束工具")

# The package's helper: the earlier layouts' take-over, each user's working folder and Krev's
# start for the desktop's user.
# The page that the helper writes into C:\KREV, as bytes of its own.
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/installer/DefaultCheck.htm)
file(READ ${CMAKE_SOURCE_DIR}/installer/DefaultCheck.htm DEFAULT_CHECK_HEX HEX)
string(REGEX REPLACE "(..)" "'\\\\x\\1', " DEFAULT_CHECK_BYTES "${DEFAULT_CHECK_HEX}")
configure_file(cmake/default_check_page.h.in ${CMAKE_BINARY_DIR}/generated/default_check_page.h @ONLY)
add_executable(SetupKREV installer/setupkrev/win32_main.cpp ${INSTALLER_HELPER_SOURCES} krev/user_folder.cpp
    krev/settings.cpp outside/closekrev/installed_closer.cpp ${WIN32_FOLDER_SOURCES} platform/win32/processes_win32.cpp
    platform/win32/system_library.cpp)
target_compile_options(SetupKREV PRIVATE -Os)
target_link_libraries(SetupKREV PRIVATE platform_text advapi32 shell32 ole32 uuid)
target_link_options(SetupKREV PRIVATE ${WINDOWS_PROGRAM_LINK_OPTIONS} -s)
krev_deliverable(SetupKREV)
krev_marks(SetupKREV SetupKREV.exe APP "Vyx 安裝輔助程式")

# The guard's own Windows calls, for the programs that use the guard without Krev.
set(GUARD_WIN32_SOURCES platform/win32/window_titles_win32.cpp platform/win32/cp950_win32.cpp
    platform/win32/processes_win32.cpp)
add_subdirectory(tests/helpers)

add_executable(guard_walk bench/guard_walk.cpp krev/web_atm_guard.cpp krev/web_atm_titles.cpp ${GUARD_WIN32_SOURCES})
target_link_libraries(guard_walk PRIVATE user32 process_starter)
target_link_options(guard_walk PRIVATE -static)
add_executable(bare_loop bench/bare_loop.cpp)
target_link_options(bare_loop PRIVATE -mwindows -static)

# The product CD's autorun.exe, which Runlatch starts: it opens the package beside it.
krev_launcher(autorun outside/autorun/package_opener.cpp outside/autorun/win32_main.cpp)
krev_marks(autorun autorun.exe APP "Vyx 光碟安裝程式")

# The Windows Installer package (wixl and msibuild: scripts/make_msi.py) and the product CD:
# dist/KrevSetup.msi and dist/krev-cd.iso from the i686 programs; the x86_64 tree makes the same
# two from its programs for the Wine tests where no 32-bit code runs (build/x86_64/KrevSetup.msi,
# build/x86_64/krev-cd.iso), a product of its own that is never shipped.
find_program(WIXL wixl REQUIRED)
find_program(MSIBUILD msibuild REQUIRED)
find_program(XORRISO xorriso REQUIRED)
if(CMAKE_SYSTEM_PROCESSOR STREQUAL "i686")
    set(PACKAGE_ARCH x86)
    set(PACKAGE_FILE ${KREV_DIST_DIR}/KrevSetup.msi)
    set(CD_IMAGE ${KREV_DIST_DIR}/krev-cd.iso)
else()
    set(PACKAGE_ARCH x64)
    set(PACKAGE_FILE ${CMAKE_BINARY_DIR}/KrevSetup.msi)
    set(CD_IMAGE ${CMAKE_BINARY_DIR}/krev-cd.iso)
endif()
set(PACKAGED_PROGRAMS Krev Farrow PortalLaunch SC Pellit Go CloseKREV SetupKREV)
set(SIGN_PACKAGE "")
set(PACKAGE_POOL "")
if(KREV_SIGNER)
    set(SIGN_PACKAGE COMMAND sh ${KREV_SIGNER} ${PACKAGE_FILE})
    if(KREV_SIGNING_PKCS11_MODULE)
        set(PACKAGE_POOL JOB_POOL krev_token_signing)
    endif()
endif()
file(GLOB PACKAGE_TABLES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/installer/tables/*.idt)
# A package whose signing failed is not left behind: the signer removes it.
add_custom_command(OUTPUT ${PACKAGE_FILE}
    COMMAND ${CMAKE_COMMAND} -E rm -f ${PACKAGE_FILE}
    COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/scripts/make_msi.py --arch ${PACKAGE_ARCH}
            --version ${KREV_VERSION} --programs ${DIST_DIR} --picture ${PICTURE_DIR}/card_red.ico
            --default-check ${CMAKE_SOURCE_DIR}/installer/DefaultCheck.htm --web-address ${KREV_PRODUCT_URL}
            --work ${CMAKE_BINARY_DIR}/package --output ${PACKAGE_FILE}
    ${SIGN_PACKAGE}
    DEPENDS ${PACKAGED_PROGRAMS} pictures ${CMAKE_SOURCE_DIR}/installer/krev.wxs ${PACKAGE_TABLES}
            ${CMAKE_SOURCE_DIR}/scripts/make_msi.py ${CMAKE_SOURCE_DIR}/installer/DefaultCheck.htm ${KREV_SIGNING_SETTINGS}
    ${PACKAGE_POOL}
    COMMENT "Building the Windows Installer package (${PACKAGE_ARCH})")
set(CD_DIR ${CMAKE_BINARY_DIR}/cd)
add_custom_command(OUTPUT ${CD_IMAGE}
    COMMAND ${CMAKE_COMMAND} -E rm -rf ${CD_DIR}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CD_DIR}/KREV
    COMMAND ${CMAKE_COMMAND} -E copy ${CMAKE_SOURCE_DIR}/installer/autorun.inf ${CD_DIR}/autorun.inf
    COMMAND ${CMAKE_COMMAND} -E copy ${PACKAGE_FILE} ${CD_DIR}/KrevSetup.msi
    COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:autorun> $<TARGET_FILE:Runlatch> $<TARGET_FILE:PortalLaunch> ${CD_DIR}
    COMMAND ${CMAKE_COMMAND} -E copy ${CMAKE_SOURCE_DIR}/installer/DefaultCheck.htm ${CD_DIR}/KREV
    COMMAND ${XORRISO} -as mkisofs -quiet -V VYX -J -R -o ${CD_IMAGE} ${CD_DIR}
    DEPENDS ${PACKAGE_FILE} autorun Runlatch PortalLaunch ${CMAKE_SOURCE_DIR}/installer/autorun.inf
    COMMENT "Building the product CD")
add_custom_target(installer ALL DEPENDS ${PACKAGE_FILE} ${CD_IMAGE})
