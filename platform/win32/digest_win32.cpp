// SHA-256 through BCrypt, and the user's local application data folder.
#include <windows.h>
#include <bcrypt.h>

#include <vector>

#include "platform/platform.h"
#include "platform/win32/wide.h"

namespace platform {

struct Sha256::State {
    BCRYPT_HASH_HANDLE hash = nullptr;
    bool ok = false;
    uint64_t length = 0;
};

namespace {

// Opened once for the process: an import hashes every file it places.
BCRYPT_ALG_HANDLE Algorithm() {
    static const BCRYPT_ALG_HANDLE algorithm = [] {
        BCRYPT_ALG_HANDLE opened = nullptr;
        return BCRYPT_SUCCESS(::BCryptOpenAlgorithmProvider(&opened, BCRYPT_SHA256_ALGORITHM,
                                                            nullptr, 0))
                   ? opened
                   : nullptr;
    }();
    return algorithm;
}

}  // namespace

Sha256::Sha256() : state_(new State) {
    state_->ok = Algorithm() && BCRYPT_SUCCESS(::BCryptCreateHash(Algorithm(), &state_->hash,
                                                                  nullptr, 0, nullptr, 0, 0));
}

Sha256::~Sha256() {
    if (state_->hash) ::BCryptDestroyHash(state_->hash);
    delete state_;
}

uint64_t Sha256::Length() const {
    return state_->length;
}

bool Sha256::Update(const void* data, size_t size) {
    state_->length += size;
    const auto* bytes = static_cast<const unsigned char*>(data);
    while (state_->ok && size) {
        // BCryptHashData counts in ULONG.
        const ULONG piece = size > (1u << 30) ? (1u << 30) : static_cast<ULONG>(size);
        state_->ok =
            BCRYPT_SUCCESS(::BCryptHashData(state_->hash, const_cast<PUCHAR>(bytes), piece, 0));
        bytes += piece;
        size -= piece;
    }
    return state_->ok;
}

std::string Sha256::HexDigest() {
    unsigned char digest[32];
    const bool ok =
        state_->ok && BCRYPT_SUCCESS(::BCryptFinishHash(state_->hash, digest, sizeof digest, 0));
    state_->ok = false;
    if (!ok) return {};
    static const char kDigits[] = "0123456789abcdef";
    std::string hex;
    for (unsigned char byte : digest) {
        hex += kDigits[byte >> 4];
        hex += kDigits[byte & 15];
    }
    return hex;
}

CString LocalAppDataFolder() {
    wchar_t buffer[MAX_PATH];
    const DWORD n = ::GetEnvironmentVariableW(L"LOCALAPPDATA", buffer, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return {};
    return CString(reinterpret_cast<const char16_t*>(buffer), n);
}

}  // namespace platform
