# The libraries of the Windows build, compiled here from the Debian sources that
# scripts/windows-build.sh unpacks: hidapi's Windows backend, Boost.Thread's Win32 sources over
# the Boost headers, and GoogleTest for the tests. They are given the names that the Linux build
# gets from its packages, so the rest of the build does not tell the two apart.
set(TAVRIK_HIDAPI_SOURCE_DIR "" CACHE PATH "Unpacked hidapi source, with the exclusive-open patch")
set(TAVRIK_BOOST_SOURCE_DIR "" CACHE PATH "Unpacked Boost source: libs/thread/src")
set(TAVRIK_BOOST_INCLUDE_DIR "" CACHE PATH "Directory that holds the boost/ headers")
set(TAVRIK_GOOGLETEST_SOURCE_DIR "/usr/src/googletest" CACHE PATH "GoogleTest source")
foreach(dir TAVRIK_HIDAPI_SOURCE_DIR TAVRIK_BOOST_SOURCE_DIR TAVRIK_BOOST_INCLUDE_DIR)
    if(NOT IS_DIRECTORY "${${dir}}")
        message(FATAL_ERROR "${dir} is not set: build for Windows with scripts/windows-build.sh")
    endif()
endforeach()

enable_language(C)

# hidapi opens hid.dll and cfgmgr32.dll itself at run time.
add_library(tavrik_hidapi_windows STATIC ${TAVRIK_HIDAPI_SOURCE_DIR}/windows/hid.c)
target_include_directories(tavrik_hidapi_windows SYSTEM PUBLIC ${TAVRIK_HIDAPI_SOURCE_DIR}
    PRIVATE ${TAVRIK_HIDAPI_SOURCE_DIR}/hidapi)
target_compile_options(tavrik_hidapi_windows PRIVATE -w)  # not our code
add_library(hidapi::windows ALIAS tavrik_hidapi_windows)

add_library(Boost::headers INTERFACE IMPORTED)
set_target_properties(Boost::headers PROPERTIES
    INTERFACE_INCLUDE_DIRECTORIES ${TAVRIK_BOOST_INCLUDE_DIR}
    INTERFACE_SYSTEM_INCLUDE_DIRECTORIES ${TAVRIK_BOOST_INCLUDE_DIR}
    # Boost.Chrono and Boost.System as headers, so Boost.Thread is the one compiled part.
    INTERFACE_COMPILE_DEFINITIONS "BOOST_CHRONO_HEADER_ONLY;BOOST_ALL_NO_LIB")
add_library(Boost::boost ALIAS Boost::headers)
add_library(Boost::date_time ALIAS Boost::headers)

set(boost_thread_src ${TAVRIK_BOOST_SOURCE_DIR}/libs/thread/src)
add_library(tavrik_boost_thread STATIC
    ${boost_thread_src}/win32/thread.cpp
    ${boost_thread_src}/win32/thread_primitives.cpp
    ${boost_thread_src}/win32/tss_pe.cpp
    ${boost_thread_src}/future.cpp)
target_compile_definitions(tavrik_boost_thread PRIVATE BOOST_THREAD_BUILD_LIB=1
    PUBLIC BOOST_THREAD_USE_LIB)
target_compile_options(tavrik_boost_thread PRIVATE -w)
target_link_libraries(tavrik_boost_thread PUBLIC Boost::headers)
add_library(Boost::thread ALIAS tavrik_boost_thread)

if(TAVRIK_BUILD_TESTS)
    set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
    set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
    add_subdirectory(${TAVRIK_GOOGLETEST_SOURCE_DIR} ${PROJECT_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
    add_library(GTest::gtest ALIAS gtest)
    add_library(GTest::gtest_main ALIAS gtest_main)
    add_library(GTest::gmock ALIAS gmock)
endif()
