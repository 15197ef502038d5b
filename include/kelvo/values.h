/* kelvo: values functions of the C interface. */
#ifndef KELVO_VALUES_H
#define KELVO_VALUES_H

#include "kelvo/common.h"

KELVO_EXTERN_C_BEGIN

KELVO_EXTERN_C_END

#endif
