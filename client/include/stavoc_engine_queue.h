/*
 * Engine operations: queue (to be filled in).
 */
#ifndef STAVOC_ENGINE_QUEUE_H
#define STAVOC_ENGINE_QUEUE_H

#include "stavoc_engine_core.h"

#ifdef __cplusplus
extern "C" {
#endif

#ifdef __cplusplus
}
#endif

#endif /* STAVOC_ENGINE_QUEUE_H */
