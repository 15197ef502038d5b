// Base64 (RFC 4648 alphabet, '=' padding) for the SCRAM messages. The
// decoder is strict: it refuses white space, characters outside the
// alphabet, misplaced padding and lengths that are not a multiple of four.
#pragma once

// Bytes needed to encode srclen bytes (no terminating zero).
int pg_b64_enc_len(int srclen);
// Upper bound of the bytes that srclen base64 characters decode to.
int pg_b64_dec_len(int srclen);

// Both return the number of bytes written to dst, or -1 when dst (dstlen
// bytes) is too small or, for the decoder, when the input is not valid
// base64. Neither writes a terminating zero.
int pg_b64_encode(const char* src, int len, char* dst, int dstlen);
int pg_b64_decode(const char* src, int len, char* dst, int dstlen);
