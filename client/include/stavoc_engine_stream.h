/*
 * Engine operations: streamed transfers and attachments (to be filled in).
 */
#ifndef STAVOC_ENGINE_STREAM_H
#define STAVOC_ENGINE_STREAM_H

#include "stavoc_engine_core.h"
#include "stavoc_engine_state.h"

#ifdef __cplusplus
extern "C" {
#endif

#ifdef __cplusplus
}
#endif

#endif /* STAVOC_ENGINE_STREAM_H */
