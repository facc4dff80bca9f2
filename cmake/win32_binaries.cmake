# What the Windows build adds to the binaries it ships (zel.dll, zel-host.exe, zel-borrow.exe): a
# version resource in every win32 build, and in a release build (ZEL_RELEASE) debug information
# moved into a file of its own beside each binary.

# Gives `target` a VERSIONINFO resource: the project's version as file and product version, the
# product name "ZEL", `description` as the file description, and the file's own name.
function(zel_version_resource target description)
    if(NOT ZEL_WIN32)
        return()
    endif()
    get_target_property(type ${target} TYPE)
    if(type STREQUAL "SHARED_LIBRARY")
        set(zel_file_type VFT_DLL)
        set(suffix ${CMAKE_SHARED_LIBRARY_SUFFIX})
    else()
        set(zel_file_type VFT_APP)
        set(suffix ${CMAKE_EXECUTABLE_SUFFIX})
    endif()
    get_target_property(output_name ${target} OUTPUT_NAME)
    if(NOT output_name)
        set(output_name ${target})
    endif()
    set(zel_description "${description}")
    set(zel_internal_name ${output_name})
    set(zel_file_name ${output_name}${suffix})
    set(rc ${CMAKE_CURRENT_BINARY_DIR}/${target}_version.rc)
    configure_file(${PROJECT_SOURCE_DIR}/cmake/version.rc.in ${rc} @ONLY)
    target_sources(${target} PRIVATE ${rc})
endfunction()

# In a release build: after `target` is linked, its debug information goes into <file>.debug
# beside it, the binary is stripped of it and of its symbol table, and it names its debug file
# (the .gnu_debuglink section: the file's name and checksum, which a debugger follows).
function(zel_split_debug_information target)
    if(NOT ZEL_RELEASE)
        return()
    endif()
    set(file $<TARGET_FILE:${target}>)
    # objcopy and strip write the time of day into the image header unless SOURCE_DATE_EPOCH says
    # otherwise; 0 is what the linker writes with --no-insert-timestamp.
    set(fixed_time ${CMAKE_COMMAND} -E env SOURCE_DATE_EPOCH=0)
    add_custom_command(TARGET ${target} POST_BUILD
        COMMAND ${fixed_time} ${CMAKE_OBJCOPY} --only-keep-debug ${file} ${file}.debug
        COMMAND ${fixed_time} ${CMAKE_STRIP} --strip-all ${file}
        COMMAND ${fixed_time} ${CMAKE_OBJCOPY} --add-gnu-debuglink=${file}.debug ${file}
        VERBATIM)
endfunction()
