// SHA-256 through OpenSSL's libcrypto, and the user's folders as Wine lays them out.
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <pwd.h>
#include <unistd.h>

#include <cstdlib>

#include "platform/platform.h"
#include "platform/posix/errors_posix.h"

namespace platform {

struct Sha256::State {
    EVP_MD_CTX* context = nullptr;
    bool ok = false;
    uint64_t length = 0;
};

Sha256::Sha256() : state_(new State) {
    state_->context = EVP_MD_CTX_new();
    state_->ok = state_->context && EVP_DigestInit_ex(state_->context, EVP_sha256(), nullptr) == 1;
}

Sha256::~Sha256() {
    EVP_MD_CTX_free(state_->context);
    delete state_;
    // libcrypto keeps per-thread state that only the thread's end frees; the import's worker
    // may still be ending when the program exits after the question.
    OPENSSL_thread_stop();
}

bool Sha256::Update(const void* data, size_t size) {
    state_->length += size;
    if (state_->ok && size) state_->ok = EVP_DigestUpdate(state_->context, data, size) == 1;
    return state_->ok;
}

uint64_t Sha256::Length() const {
    return state_->length;
}

std::string Sha256::HexDigest() {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    const bool ok =
        state_->ok && EVP_DigestFinal_ex(state_->context, digest, &length) == 1 && length == 32;
    state_->ok = false;
    if (!ok) return {};
    static const char kDigits[] = "0123456789abcdef";
    std::string hex;
    for (unsigned int i = 0; i < length; ++i) {
        hex += kDigits[digest[i] >> 4];
        hex += kDigits[digest[i] & 15];
    }
    return hex;
}

CString LocalAppDataFolder() {
    // Wine takes the profile's name from $USER before the account's.
    std::string user;
    if (const char* env = std::getenv("USER"); env && *env) {
        user = env;
    } else if (const passwd* pw = ::getpwuid(::getuid())) {
        user = pw->pw_name;
    }
    if (user.empty()) return {};
    return u"C:\\users\\" + FromUtf8(user) + u"\\AppData\\Local";
}

}  // namespace platform
