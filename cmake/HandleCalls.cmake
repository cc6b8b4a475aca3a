# Writes OUTPUT: one table row per exported function that takes a client, lease or message
# handle first, found in the public headers HEADERS (a ;-list), calling it with a NULL handle
# and NULL for every other argument. The API tests include the table, so a new function is
# checked without a new test.
#   cmake -DHEADERS=... -DOUTPUT=... -P HandleCalls.cmake
set(rows "")
foreach(header IN LISTS HEADERS)
  file(READ "${header}" text)
  string(REGEX MATCHALL "SV_API int sv_[a-z0-9_]+\\((sv_client|sv_lease|sv_message) \\*[a-z_]+[^;]*"
    declarations "${text}")
  foreach(declaration IN LISTS declarations)
    string(REGEX MATCH "sv_[a-z0-9_]+\\((sv_[a-z]+) \\*" head "${declaration}")
    string(REGEX REPLACE "\\(.*" "" function "${head}")
    string(REGEX REPLACE ".*\\((sv_[a-z]+) \\*" "\\1" handle "${head}")
    string(REGEX REPLACE "^sv_" "" handle_name "${handle}")
    # "lease_keepalive" is named "lease keepalive", as the handle's own messages name it.
    string(REGEX REPLACE "^sv_(${handle_name})_" "\\1 " operation "${function}")
    string(REGEX REPLACE "^sv_" "" operation "${operation}")
    string(REGEX MATCHALL "," commas "${declaration}")
    list(LENGTH commas others)  # the arguments after the handle, the error record last
    math(EXPR nulls "${others} - 1")
    string(REPEAT "kNull, " ${nulls} arguments)
    string(APPEND rows "    {\"${operation} requires ${handle_name}\", [](sv_error *e) { "
      "return ${function}(nullptr, ${arguments}e); }},\n")
  endforeach()
endforeach()
file(WRITE "${OUTPUT}.new" "// Generated from the public headers by cmake/HandleCalls.cmake.\n${rows}")
file(COPY_FILE "${OUTPUT}.new" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.new")
