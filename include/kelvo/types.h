/* kelvo: types functions of the C interface. */
#ifndef KELVO_TYPES_H
#define KELVO_TYPES_H

#include "kelvo/common.h"

KELVO_EXTERN_C_BEGIN

KELVO_EXTERN_C_END

#endif
