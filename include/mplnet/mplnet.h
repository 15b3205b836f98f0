/* The C interface of mplnet: the exports a host program calls.
 *
 * Conventions:
 * 1. Every export but MPLGetOutArraySize returns a status text: a constant, zero-terminated text in
 *    the library's read-only data. Never free or change it; it stays valid while the library is loaded.
 * 2. Errors are status texts beginning with "Error: "; no export ever throws, aborts or prints.
 * 3. The library holds one network for the whole process. The exports may be called from several
 *    threads: one process-wide lock lets one call in at a time.
 * 4. On 32-bit Windows every export uses the standard-call convention.
 */
#ifndef MPLNET_MPLNET_H_
#define MPLNET_MPLNET_H_

#include <mplnet/export.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Runs the network on in_array (in_size values, at least the input layer's size) and copies the
 * outputs into out_array, which has room for MPLGetOutArraySize() values. Returns "test", or
 * "Error: MPLRun, no network loaded", "Error: MPLRun, array is NULL",
 * "Error: MPLRun, wrong in_size number" (nothing run or written then). */
MPLNET_EXPORT const char* MPLNET_CALL MPLRun(double* out_array, const double* in_array, int in_size);

/* The number of outputs of the current network (its last layer's size); 0 while none is loaded. */
MPLNET_EXPORT int MPLNET_CALL MPLGetOutArraySize(void);

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* MPLNET_MPLNET_H_ */
