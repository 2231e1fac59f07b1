// Cipher and digest speed: one 1280-byte transfer chunk through AES-128 on each
// engine, and MD5 over 1 MB of text; beside them the same work done by libcrypto
// when its headers are present, as a yardstick.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "support/Md5.h"
#include "support/Rijndael.h"

#if __has_include(<openssl/evp.h>)
#include <openssl/evp.h>
#define KESTREL_BENCH_OPENSSL 1
#endif

namespace {

using kestrel::CRijndael;

constexpr size_t kChunk = 1280;

std::vector<uint8_t> RandomBytes(size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  std::vector<uint8_t> b(n);
  for (auto& x : b) x = static_cast<uint8_t>(rng());
  return b;
}

// About 1 MB of CR LF text lines, like a scan-result file.
const std::string& MegabyteOfText() {
  static const std::string text = [] {
    std::string t;
    t.reserve(1 << 20);
    for (int i = 0; t.size() < (1u << 20); ++i) {
      t += "  <File Name=\"document_" + std::to_string(i) +
           ".pdf\" Size=\"123456\" TimeLow=\"3735928559\" TimeHigh=\"30912345\"/>\r\n";
    }
    t.resize(1 << 20);
    return t;
  }();
  return text;
}

void Cipher(benchmark::State& state, CRijndael::Engine engine, bool decrypt) {
  CRijndael cipher(engine);
  if (engine == CRijndael::Engine::kAuto && !cipher.UsesHardware()) {
    state.SkipWithError("CPU has no AES instructions");
    return;
  }
  const auto key = RandomBytes(16, 1);
  cipher.MakeKey(key.data());
  const auto in = RandomBytes(kChunk, 2);
  std::vector<uint8_t> out(kChunk);
  for (auto _ : state) {
    const size_t n = decrypt ? kestrel::DecryptBuffer(cipher, in.data(), kChunk, out.data())
                             : kestrel::EncryptBuffer(cipher, in.data(), kChunk, out.data());
    benchmark::DoNotOptimize(n);
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kChunk);
}

void BM_Aes128EncryptChunk_Hardware(benchmark::State& s) {
  Cipher(s, CRijndael::Engine::kAuto, false);
}
void BM_Aes128DecryptChunk_Hardware(benchmark::State& s) {
  Cipher(s, CRijndael::Engine::kAuto, true);
}
void BM_Aes128EncryptChunk_Portable(benchmark::State& s) {
  Cipher(s, CRijndael::Engine::kPortable, false);
}
void BM_Aes128DecryptChunk_Portable(benchmark::State& s) {
  Cipher(s, CRijndael::Engine::kPortable, true);
}
BENCHMARK(BM_Aes128EncryptChunk_Hardware);
BENCHMARK(BM_Aes128DecryptChunk_Hardware);
BENCHMARK(BM_Aes128EncryptChunk_Portable);
BENCHMARK(BM_Aes128DecryptChunk_Portable);

void BM_Aes128MakeKey(benchmark::State& state) {
  CRijndael cipher;
  const auto key = RandomBytes(16, 3);
  for (auto _ : state) {
    cipher.MakeKey(key.data());
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_Aes128MakeKey);

void BM_Md5Megabyte(benchmark::State& state) {
  const std::string& text = MegabyteOfText();
  for (auto _ : state) {
    kestrel::Md5 md5;
    md5.Update(text);
    benchmark::DoNotOptimize(md5.Final());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * text.size());
}
BENCHMARK(BM_Md5Megabyte);

#ifdef KESTREL_BENCH_OPENSSL

void OpensslCipher(benchmark::State& state, bool decrypt) {
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  const auto key = RandomBytes(16, 1);
  const auto in = RandomBytes(kChunk, 2);
  std::vector<uint8_t> out(kChunk + 16);
  if (EVP_CipherInit_ex(ctx, EVP_aes_128_ecb(), nullptr, key.data(), nullptr, decrypt ? 0 : 1) !=
      1) {
    state.SkipWithError("EVP_CipherInit_ex failed");
    EVP_CIPHER_CTX_free(ctx);
    return;
  }
  EVP_CIPHER_CTX_set_padding(ctx, 0);
  for (auto _ : state) {
    int n = 0;
    EVP_CipherUpdate(ctx, out.data(), &n, in.data(), static_cast<int>(kChunk));
    benchmark::DoNotOptimize(n);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kChunk);
  EVP_CIPHER_CTX_free(ctx);
}

void BM_Aes128EncryptChunk_Libcrypto(benchmark::State& s) {
  OpensslCipher(s, false);
}
void BM_Aes128DecryptChunk_Libcrypto(benchmark::State& s) {
  OpensslCipher(s, true);
}
BENCHMARK(BM_Aes128EncryptChunk_Libcrypto);
BENCHMARK(BM_Aes128DecryptChunk_Libcrypto);

void BM_Md5Megabyte_Libcrypto(benchmark::State& state) {
  const std::string& text = MegabyteOfText();
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  for (auto _ : state) {
    EVP_Digest(text.data(), text.size(), digest, &len, EVP_md5(), nullptr);
    benchmark::DoNotOptimize(digest);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * text.size());
}
BENCHMARK(BM_Md5Megabyte_Libcrypto);

#endif

}  // namespace

BENCHMARK_MAIN();
