# Writes two tables the API tests include, generated from the public headers HEADERS (a
# ;-list), so that a new function or record is checked without a new test:
#   OUTPUT_DIR/null_handle_calls.inc  one row per exported function that takes a client, lease
#     or message handle first, calling it with a NULL handle and NULL for every other argument;
#   OUTPUT_DIR/empty_record_calls.inc  one row per exported function that takes a client first,
#     calling it with a live client and an empty (zeroed) record behind every other pointer (NULL
#     for function pointers);
#   OUTPUT_DIR/result_inits.inc  one row per result record (sv_*_res, sv_*_list), calling its
#     _init function (a record without one does not compile).
#   cmake -DHEADERS=... -DOUTPUT_DIR=... -P ApiTables.cmake
function(write_table name text)
  file(WRITE "${OUTPUT_DIR}/${name}.new" "// Generated from the public headers by cmake/ApiTables.cmake.\n${text}")
  file(COPY_FILE "${OUTPUT_DIR}/${name}.new" "${OUTPUT_DIR}/${name}" ONLY_IF_DIFFERENT)
  file(REMOVE "${OUTPUT_DIR}/${name}.new")
endfunction()

set(calls "")
set(empty_calls "")
set(inits "")
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
    string(APPEND calls "    {\"${operation} requires ${handle_name}\", [](sv_error *e) { "
      "return ${function}(nullptr, ${arguments}e); }},\n")
    if(handle STREQUAL "sv_client")
      # The operation as the client's own checks name it: "new_consumer_service", not
      # "client new_consumer_service".
      string(REGEX REPLACE "^client " "" client_operation "${operation}")
      string(REPEAT "kEmpty, " ${nulls} empties)
      string(APPEND empty_calls "    {\"${client_operation}\", [](sv_client *c, sv_error *e) { "
        "return ${function}(c, ${empties}e); }},\n")
    endif()
  endforeach()
  string(REGEX MATCHALL "\n(typedef )?struct sv_[a-z0-9_]+_(res|list) {" records "${text}")
  foreach(record IN LISTS records)
    string(REGEX REPLACE "^\n(typedef )?struct (sv_[a-z0-9_]+) {$" "\\2" type "${record}")
    string(APPEND inits "    {\"${type}\", sizeof(${type}), [](void *r) { "
      "${type}_init(static_cast<${type} *>(r)); }, [] { ${type}_init(nullptr); }},\n")
  endforeach()
endforeach()
write_table(null_handle_calls.inc "${calls}")
write_table(empty_record_calls.inc "${empty_calls}")
write_table(result_inits.inc "${inits}")
