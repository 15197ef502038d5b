// SASLprep (RFC 4013): the preparation of a SCRAM password.
#pragma once

enum pg_saslprep_rc {
    SASLPREP_SUCCESS = 0,
    SASLPREP_OOM = -1,           // out of memory, or input longer than SCRAM_MAX_PASSWORD_LEN
    SASLPREP_INVALID_UTF8 = -2,  // input is not valid UTF-8
    SASLPREP_PROHIBITED = -3,    // output holds a prohibited character or breaks the bidi rules
};

// Prepares the zero-terminated UTF-8 text input. On success *output is a new
// zero-terminated text (free it with free()); otherwise it is null. A pure
// ASCII text is returned unchanged.
pg_saslprep_rc pg_saslprep(const char* input, char** output);
