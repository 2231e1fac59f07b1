// AES-128 on the CPU's AES instructions. Only AesNi.cpp is compiled for those
// instructions; callers must check CRijndael::HardwareAvailable() before calling.
//
// Round keys are 11 blocks of 16 bytes in block byte order: for encryption the
// ordinary schedule, for decryption the equivalent inverse cipher schedule
// (last round key first, inner keys passed through InvMixColumns).
// `in` and `out` may be the same buffer; other overlaps are not allowed.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kestrel::aesni {

void EncryptBlocks(const uint8_t* round_keys, const uint8_t* in, size_t blocks, uint8_t* out);
void DecryptBlocks(const uint8_t* round_keys, const uint8_t* in, size_t blocks, uint8_t* out);

}  // namespace kestrel::aesni
