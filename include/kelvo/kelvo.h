/* kelvo: the whole C interface. Applications include this header only. */
#ifndef KELVO_KELVO_H
#define KELVO_KELVO_H

#include "kelvo/common.h"
#include "kelvo/connection.h"
#include "kelvo/copy.h"
#include "kelvo/error.h"
#include "kelvo/inserter.h"
#include "kelvo/instance.h"
#include "kelvo/log.h"
#include "kelvo/parameters.h"
#include "kelvo/rowset.h"
#include "kelvo/string_list.h"
#include "kelvo/types.h"
#include "kelvo/values.h"

#endif
