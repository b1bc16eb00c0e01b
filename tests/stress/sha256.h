/* SHA-256 (FIPS 180-4) for the stress child: the receiving side hashes with
   an independent implementation (Python's hashlib), so a match means the
   bytes arrived whole and in order. Plain C. */
#ifndef TARNELO_STRESS_SHA256_H
#define TARNELO_STRESS_SHA256_H

#include <string.h>

typedef struct Sha256 {
    unsigned int state[8];
    unsigned char block[64];
    unsigned int used;            /* bytes in block */
    unsigned long long total;     /* bytes hashed */
} Sha256;

static const unsigned int kSha256Rounds[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

#define SHA256_ROTR(x, n) (((x) >> (n)) | ((x) << (32 - (n))))

static inline void Sha256Init(Sha256* h) {
    static const unsigned int kStart[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                           0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    memcpy(h->state, kStart, sizeof kStart);
    h->used = 0;
    h->total = 0;
}

static inline void Sha256Block(Sha256* h, const unsigned char* p) {
    unsigned int w[64];
    unsigned int a, b, c, d, e, f, g, k;
    int i;
    for (i = 0; i < 16; ++i) {
        w[i] = (unsigned int)p[4 * i] << 24 | (unsigned int)p[4 * i + 1] << 16 | (unsigned int)p[4 * i + 2] << 8 |
               (unsigned int)p[4 * i + 3];
    }
    for (i = 16; i < 64; ++i) {
        unsigned int s0 = SHA256_ROTR(w[i - 15], 7) ^ SHA256_ROTR(w[i - 15], 18) ^ (w[i - 15] >> 3);
        unsigned int s1 = SHA256_ROTR(w[i - 2], 17) ^ SHA256_ROTR(w[i - 2], 19) ^ (w[i - 2] >> 10);
        w[i] = w[i - 16] + s0 + w[i - 7] + s1;
    }
    a = h->state[0], b = h->state[1], c = h->state[2], d = h->state[3];
    e = h->state[4], f = h->state[5], g = h->state[6], k = h->state[7];
    for (i = 0; i < 64; ++i) {
        unsigned int t1 = k + (SHA256_ROTR(e, 6) ^ SHA256_ROTR(e, 11) ^ SHA256_ROTR(e, 25)) + ((e & f) ^ (~e & g)) +
                          kSha256Rounds[i] + w[i];
        unsigned int t2 = (SHA256_ROTR(a, 2) ^ SHA256_ROTR(a, 13) ^ SHA256_ROTR(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
        k = g, g = f, f = e, e = d + t1, d = c, c = b, b = a, a = t1 + t2;
    }
    h->state[0] += a, h->state[1] += b, h->state[2] += c, h->state[3] += d;
    h->state[4] += e, h->state[5] += f, h->state[6] += g, h->state[7] += k;
}

static inline void Sha256Add(Sha256* h, const void* bytes, unsigned int size) {
    const unsigned char* p = (const unsigned char*)bytes;
    h->total += size;
    if (h->used != 0) {
        unsigned int take = 64 - h->used < size ? 64 - h->used : size;
        memcpy(h->block + h->used, p, take);
        h->used += take;
        p += take;
        size -= take;
        if (h->used < 64) return;
        Sha256Block(h, h->block);
        h->used = 0;
    }
    for (; size >= 64; p += 64, size -= 64) Sha256Block(h, p);
    memcpy(h->block, p, size);
    h->used = size;
}

/* Writes 64 lowercase hex digits and a NUL. */
static inline void Sha256Hex(Sha256* h, char* hex) {
    static const char kDigits[] = "0123456789abcdef";
    unsigned long long bits = h->total * 8;
    unsigned char tail[72];
    unsigned int pad = (h->used < 56 ? 56 : 120) - h->used;
    int i;
    memset(tail, 0, sizeof tail);
    tail[0] = 0x80;
    for (i = 0; i < 8; ++i) tail[pad + i] = (unsigned char)(bits >> (56 - 8 * i));
    Sha256Add(h, tail, pad + 8);
    for (i = 0; i < 32; ++i) {
        unsigned int byte = (h->state[i / 4] >> (24 - 8 * (i % 4))) & 0xFF;
        hex[2 * i] = kDigits[byte >> 4];
        hex[2 * i + 1] = kDigits[byte & 15];
    }
    hex[64] = '\0';
}

#endif
