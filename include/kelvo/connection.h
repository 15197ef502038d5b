/* kelvo: connection functions of the C interface. */
#ifndef KELVO_CONNECTION_H
#define KELVO_CONNECTION_H

#include "kelvo/common.h"

KELVO_EXTERN_C_BEGIN

KELVO_EXTERN_C_END

#endif
