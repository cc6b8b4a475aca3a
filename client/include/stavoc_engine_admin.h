/*
 * Engine operations: admin (to be filled in).
 */
#ifndef STAVOC_ENGINE_ADMIN_H
#define STAVOC_ENGINE_ADMIN_H

#include "stavoc_engine_core.h"

#ifdef __cplusplus
extern "C" {
#endif

#ifdef __cplusplus
}
#endif

#endif /* STAVOC_ENGINE_ADMIN_H */
