/* kelvo: parameters functions of the C interface. */
#ifndef KELVO_PARAMETERS_H
#define KELVO_PARAMETERS_H

#include "kelvo/common.h"

KELVO_EXTERN_C_BEGIN

KELVO_EXTERN_C_END

#endif
