/* kelvo: error functions of the C interface. */
#ifndef KELVO_ERROR_H
#define KELVO_ERROR_H

#include "kelvo/common.h"

KELVO_EXTERN_C_BEGIN

KELVO_EXTERN_C_END

#endif
