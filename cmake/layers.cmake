# Each library exports only its own folders of src/, under the names the sources use
# ("search/search_core.h"): its include root in the build tree holds links to just those
# folders, so a library cannot reach a header of a layer it does not link.
#   quarvex_export_headers(<target> <folder under src/>...)
function(quarvex_export_headers target)
    set(root ${CMAKE_BINARY_DIR}/include/${target})
    foreach(folder IN LISTS ARGN)
        if(NOT IS_DIRECTORY ${PROJECT_SOURCE_DIR}/src/${folder})
            message(FATAL_ERROR "quarvex_export_headers(${target}): no folder src/${folder}")
        endif()
        get_filename_component(parent ${root}/${folder} DIRECTORY)
        # A tree configured when a whole folder was exported holds a link where a folder of
        # links goes now: the link goes (never what it leads to).
        set(at ${parent})
        while(NOT at STREQUAL root AND NOT at STREQUAL "/")
            if(IS_SYMLINK ${at})
                file(REMOVE ${at})
            endif()
            get_filename_component(at ${at} DIRECTORY)
        endwhile()
        file(MAKE_DIRECTORY ${parent})
        file(CREATE_LINK ${PROJECT_SOURCE_DIR}/src/${folder} ${root}/${folder} SYMBOLIC)
    endforeach()
    target_include_directories(${target} PUBLIC ${root})
endfunction()
