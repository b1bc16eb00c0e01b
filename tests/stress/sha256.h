/* SHA-256 from the platform's CryptoAPI, for the stress child and the tests
   that check it: the receiving side hashes with an independent
   implementation (Python's hashlib), so a match means the bytes arrived
   whole and in order. Plain C. */
#ifndef TARNELO_STRESS_SHA256_H
#define TARNELO_STRESS_SHA256_H

#include <windows.h>
#include <wincrypt.h>

typedef struct Sha256 {
    HCRYPTPROV provider;
    HCRYPTHASH hash; /* 0 once anything failed */
} Sha256;

static inline void Sha256Init(Sha256* h) {
    h->hash = 0;
    if (!CryptAcquireContextA(&h->provider, NULL, NULL, PROV_RSA_AES, CRYPT_VERIFYCONTEXT)) h->provider = 0;
    if (h->provider != 0 && !CryptCreateHash(h->provider, CALG_SHA_256, 0, 0, &h->hash)) h->hash = 0;
}

static inline void Sha256Add(Sha256* h, const void* bytes, unsigned int size) {
    if (h->hash != 0 && !CryptHashData(h->hash, (const BYTE*)bytes, size, 0)) {
        CryptDestroyHash(h->hash);
        h->hash = 0;
    }
}

/* Writes 64 lowercase hex digits and a NUL, and releases the hash. Without
   a digest it writes a text with this process's id instead: it matches no
   hash, not even another process's failure. */
static inline void Sha256Hex(Sha256* h, char* hex) {
    BYTE digest[32];
    DWORD size = sizeof digest;
    int i;
    if (h->hash != 0 && CryptGetHashParam(h->hash, HP_HASHVAL, digest, &size, 0) && size == sizeof digest) {
        for (i = 0; i < 32; ++i) wsprintfA(hex + 2 * i, "%02x", digest[i]);
    } else {
        wsprintfA(hex, "none-%lu", GetCurrentProcessId());
    }
    if (h->hash != 0) CryptDestroyHash(h->hash);
    if (h->provider != 0) CryptReleaseContext(h->provider, 0);
}

#endif
