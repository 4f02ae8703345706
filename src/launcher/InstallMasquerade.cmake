# Creates <Folder>/masq/<tool> -> ../morvek-task for every tool name of the default
# job profile (RAVEL_PROFILE) that holds no wildcard. Run by "cmake --install".
file(READ "${RAVEL_PROFILE}" profile)
string(REGEX MATCHALL "Filename=\"[^\"]+\"" names "${profile}")
set(masq "$ENV{DESTDIR}${RAVEL_FOLDER}/masq")
file(REMOVE_RECURSE "${masq}")
file(MAKE_DIRECTORY "${masq}")
foreach(entry ${names})
  string(REGEX REPLACE "^Filename=\"([^\"]+)\"$" "\\1" name "${entry}")
  if(NOT name MATCHES "[][*?/]")
    file(CREATE_LINK "../morvek-task" "${masq}/${name}" SYMBOLIC)
  endif()
endforeach()
message(STATUS "Masquerade folder: ${masq}")
