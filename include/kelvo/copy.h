/* kelvo: copy functions of the C interface. */
#ifndef KELVO_COPY_H
#define KELVO_COPY_H

#include "kelvo/common.h"

KELVO_EXTERN_C_BEGIN

KELVO_EXTERN_C_END

#endif
