// AES-128 block cipher (Rijndael with 16-byte key and block, 10 rounds) and the
// block-by-block buffer routines that protect every request record and every
// transfer chunk. Blocks are enciphered one by one (no chaining).
//
// Two engines compute the same function: the CPU's AES instructions when present,
// and a portable four-table implementation. The engine is chosen per object.
//
// Threads: one object per session handler, used by that handler's thread only.
// All shared tables are constant.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kestrel {

class CRijndael {
 public:
  enum class Engine {
    kAuto,      // AES instructions when the CPU has them, else portable
    kPortable,  // always the portable table code
  };

  static constexpr int kKeyLength = 16;  // bytes
  static constexpr int kBlockSize = 16;  // bytes
  static constexpr int kRounds = 10;

  explicit CRijndael(Engine engine = Engine::kAuto);
  virtual ~CRijndael();  // wipes the key schedules

  CRijndael(const CRijndael&) = default;
  CRijndael& operator=(const CRijndael&) = default;

  // Builds the encryption and decryption schedules from the 16 bytes at `key`
  // (borrowed for the call only). Throws std::runtime_error("Empty key") for null.
  void MakeKey(const uint8_t* key);

  // One block each way; `in` and `out` may be the same 16 bytes.
  // Throw std::runtime_error("Object not Initialized") before MakeKey.
  void EncryptBlock(const uint8_t in[16], uint8_t out[16]) const;
  void DecryptBlock(const uint8_t in[16], uint8_t out[16]) const;

  bool KeyInitialized() const { return key_initialized_; }
  // True when this object runs on the CPU's AES instructions.
  bool UsesHardware() const { return use_hardware_; }
  // True when the CPU offers AES instructions (checked once per process).
  static bool HardwareAvailable();

 private:
  friend size_t EncryptBuffer(const CRijndael&, const uint8_t*, size_t, uint8_t*);
  friend size_t DecryptBuffer(const CRijndael&, const uint8_t*, size_t, uint8_t*);

  void CheckInitialized() const;
  // Whole blocks only; `in == out` allowed, other overlaps not.
  void EncryptBlocks(const uint8_t* in, size_t blocks, uint8_t* out) const;
  void DecryptBlocks(const uint8_t* in, size_t blocks, uint8_t* out) const;

  static constexpr int kScheduleWords = 4 * (kRounds + 1);

  bool use_hardware_;
  bool key_initialized_ = false;
  // Round keys as big-endian words (byte 0 of a block is the top byte of word 0).
  uint32_t enc_words_[kScheduleWords] = {};
  // Equivalent inverse cipher schedule: rounds reversed, inner rounds InvMixColumns'd.
  uint32_t dec_words_[kScheduleWords] = {};
  // The same two schedules as bytes in block order, for the AES instructions.
  alignas(16) uint8_t enc_bytes_[4 * kScheduleWords] = {};
  alignas(16) uint8_t dec_bytes_[4 * kScheduleWords] = {};
};

// A cipher keyed with the 16-byte key it was last given: the key schedule is
// made again only when the key's bytes changed (a schedule costs about as much
// as encrypting a chunk). Threads: one owner at a time.
class KeyedCipher {
 public:
  const CRijndael& With(const uint8_t key[16]);

 private:
  CRijndael cipher_;
  uint8_t key_[16] = {};  // the key cipher_ holds, once it holds one
};

// Enciphers `n` bytes at `in` block by block into `out` (both borrowed for the call); a final
// partial block is completed with zero bytes first. Returns the output length, n rounded up to a
// multiple of 16 (0 for n = 0, nothing written). `out` must hold that many bytes; `out == in` is
// allowed. Throws like EncryptBlock when the cipher has no key.
size_t EncryptBuffer(const CRijndael& cipher, const uint8_t* in, size_t n, uint8_t* out);

// The reverse of EncryptBuffer; `n` should be a multiple of 16, a trailing partial
// block is completed with zero bytes before it is deciphered.
size_t DecryptBuffer(const CRijndael& cipher, const uint8_t* in, size_t n, uint8_t* out);

}  // namespace kestrel
