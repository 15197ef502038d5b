/* kelvo: string list functions of the C interface. */
#ifndef KELVO_STRING_LIST_H
#define KELVO_STRING_LIST_H

#include "kelvo/common.h"

KELVO_EXTERN_C_BEGIN

KELVO_EXTERN_C_END

#endif
