/* kelvo: inserter functions of the C interface. */
#ifndef KELVO_INSERTER_H
#define KELVO_INSERTER_H

#include "kelvo/common.h"

KELVO_EXTERN_C_BEGIN

KELVO_EXTERN_C_END

#endif
