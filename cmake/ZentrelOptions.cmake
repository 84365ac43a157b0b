# Compile settings shared by every target of ours, kept on an interface
# target so that nothing leaks into consumers or into OpenCV.
add_library(zentrel_options INTERFACE)
target_compile_features(zentrel_options INTERFACE cxx_std_17)

if(CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang")
    target_compile_options(zentrel_options INTERFACE
        -Wall -Wextra -Wpedantic
        # Single-precision results must not depend on the compiler fusing
        # multiply and add.
        -ffp-contract=off)
    if(CMAKE_SYSTEM_PROCESSOR MATCHES "i[3-6]86" OR CMAKE_SIZEOF_VOID_P EQUAL 4)
        # x87 extended precision would change single-precision results in the last bit.
        target_compile_options(zentrel_options INTERFACE -msse2 -mfpmath=sse)
    endif()
endif()

if(ZENTREL_SANITIZE)
    target_compile_options(zentrel_options INTERFACE
        -fsanitize=${ZENTREL_SANITIZE} -fno-omit-frame-pointer -fno-sanitize-recover=all)
    target_link_options(zentrel_options INTERFACE -fsanitize=${ZENTREL_SANITIZE})
endif()
