/* kelvo: rowset functions of the C interface. */
#ifndef KELVO_ROWSET_H
#define KELVO_ROWSET_H

#include "kelvo/common.h"

KELVO_EXTERN_C_BEGIN

KELVO_EXTERN_C_END

#endif
