// MD5 message digest (RFC 1321) over one contiguous byte range.
#pragma once

#include <cstdint>

void md5(const uint8_t* data, uint32_t length, uint8_t digest[16]);
