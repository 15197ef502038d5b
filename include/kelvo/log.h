/* kelvo: log functions of the C interface. */
#ifndef KELVO_LOG_H
#define KELVO_LOG_H

#include "kelvo/common.h"

KELVO_EXTERN_C_BEGIN

KELVO_EXTERN_C_END

#endif
