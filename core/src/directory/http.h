// The plain directory fetch's pieces below http_get_direct, private to the
// directory module.
#pragma once

#include <string_view>

#include "mistgrove_core/directory.h"
#include "mistgrove_core/util.h"

namespace mistgrove_core::directory {

// The same, ended as a whole timeout_ms after it starts, else "directory fetch
// timed out": the request and the response get only the time the connect
// left (a host name of several addresses may take timeout_ms for each).
Bytes http_get_direct_within(const util::HostPort& endpoint, std::string_view path, i32 timeout_ms);
// The data of a chunked body; trailers and anything after them are ignored.
Bytes decode_chunked_body(ByteView body);

}  // namespace mistgrove_core::directory
