/* kelvo: instance functions of the C interface. */
#ifndef KELVO_INSTANCE_H
#define KELVO_INSTANCE_H

#include "kelvo/common.h"

KELVO_EXTERN_C_BEGIN

KELVO_EXTERN_C_END

#endif
