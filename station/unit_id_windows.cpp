// Unit ids on Windows from CNG (bcrypt.dll), the same ids libuuid makes on
// Linux: random ones from the system's generator (version 4), and the
// name-based ids of RFC 4122 (version 5: SHA-1 of the namespace's 16 bytes
// followed by the name, the first 16 bytes of the digest kept).
#include <windows.h>

#include <bcrypt.h>

#include <cstdint>

#include "station/unit_id.h"

namespace kbt {
namespace {

// The namespace of content-derived unit ids: the same bytes as on Linux,
// since every id derived so far depends on them.
constexpr unsigned char kContentNamespace[16] = {0x6b, 0x62, 0x75, 0x70, 0x64, 0x61, 0x74, 0x65,
                                                 0x8e, 0x37, 0x4c, 0x1a, 0x9d, 0x52, 0x0f, 0x61};

// The version in the high nibble of byte 6, the RFC 4122 variant in byte 8;
// then the canonical lower-case text.
std::string Text(unsigned char id[16], unsigned version) {
  id[6] = static_cast<unsigned char>((id[6] & 0x0F) | (version << 4));
  id[8] = static_cast<unsigned char>((id[8] & 0x3F) | 0x80);
  static const char kHex[] = "0123456789abcdef";
  std::string text;
  for (int i = 0; i < 16; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) text += '-';
    text += kHex[id[i] >> 4];
    text += kHex[id[i] & 0x0F];
  }
  return text;
}

}  // namespace

std::string NewUnitId() {
  unsigned char id[16];
  if (!BCRYPT_SUCCESS(BCryptGenRandom(nullptr, id, sizeof id, BCRYPT_USE_SYSTEM_PREFERRED_RNG)))
    return {};
  return Text(id, 4);
}

std::string ContentUnitId(const std::vector<std::string>& fields) {
  // The unit separator cannot stand in a field the station writes.
  std::string name;
  for (const std::string& f : fields) name += f + '\x1f';
  BCRYPT_ALG_HANDLE algorithm = nullptr;
  if (!BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA1_ALGORITHM, nullptr, 0)))
    return {};
  BCRYPT_HASH_HANDLE hash = nullptr;
  unsigned char digest[20];
  bool ok = false;
  if (BCRYPT_SUCCESS(BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0))) {
    ok = BCRYPT_SUCCESS(BCryptHashData(hash, const_cast<PUCHAR>(kContentNamespace),
                                       sizeof kContentNamespace, 0)) &&
         BCRYPT_SUCCESS(BCryptHashData(hash, reinterpret_cast<PUCHAR>(name.data()),
                                       static_cast<ULONG>(name.size()), 0)) &&
         BCRYPT_SUCCESS(BCryptFinishHash(hash, digest, sizeof digest, 0));
    BCryptDestroyHash(hash);
  }
  BCryptCloseAlgorithmProvider(algorithm, 0);
  if (!ok) return {};
  return Text(digest, 5);
}

}  // namespace kbt
