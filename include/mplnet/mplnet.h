/* The C interface of mplnet: the exports a host program calls.
 *
 * Conventions:
 * 1. Every export but MPLGetOutArraySize returns a status text: a constant, zero-terminated text in
 *    the library's read-only data. Never free or change it; it stays valid while the library is
 * loaded.
 * 2. Errors are status texts beginning with "Error: "; no export ever throws, aborts or prints.
 * 3. The library holds one network for the whole process. The exports may be called from several
 *    threads: one process-wide lock lets one call in at a time.
 * 4. On 32-bit Windows every export uses the standard-call convention.
 */
#ifndef MPLNET_MPLNET_H_
#define MPLNET_MPLNET_H_

#include <mplnet/export.h>

/* One price bar as the host lays it out: 44 bytes, packed, little-endian; doubles are unaligned. */
#pragma pack(push, 1)
typedef struct RateInfo {
  unsigned int time; /* bar time, an unsigned 32-bit count */
  double open;
  double low; /* low comes before high */
  double high;
  double close;
  double vol;
} RateInfo;
#pragma pack(pop)

#ifdef __cplusplus
extern "C" {
#endif

/* Runs the network on in_array (in_size values, at least the input layer's size) and copies the
 * outputs into out_array, which has room for MPLGetOutArraySize() values. Returns "test", or
 * "Error: MPLRun, no network loaded", "Error: MPLRun, array is NULL",
 * "Error: MPLRun, wrong in_size number" (nothing run or written then). */
MPLNET_EXPORT const char* MPLNET_CALL MPLRun(double* out_array, const double* in_array,
                                             int in_size);

/* The number of outputs of the current network (its last layer's size); 0 while none is loaded. */
MPLNET_EXPORT int MPLNET_CALL MPLGetOutArraySize(void);

/* Loads the network file _fn (8-bit text in the process code page) and makes it the current network.
 * A name whose file and folder both do not exist, or a null one, falls back to the last accepted
 * name. A missing file in an existing folder loads an empty network. Returns " MPL network load ",
 * or "Error: MPLLoad, network file not loaded" when the file cannot be read or is malformed (the
 * current network then stays). */
MPLNET_EXPORT const char* MPLNET_CALL MPLLoad(const char* _fn);

/* Saves the current network into _fn (same name rules as MPLLoad), keeping whatever else the file
 * holds, as one atomic replacement. Returns " MPL network save", or
 * "Error: MPLSave, network file not saved" when it could not be written (the file is then as it
 * was). An empty network writes nothing. */
MPLNET_EXPORT const char* MPLNET_CALL MPLSave(const char* _fn);

#if !(defined(_MSC_VER) && defined(_M_IX86) && defined(__cplusplus))
/* Checks the bar array (rates null, rates_total < 0, shift outside 0 .. rates_total - 1, nrate
 * outside 0 .. 5, tested in that order) and appends one line per bar, highest index first, to the
 * bar log. Returns "MPLSetData: Successful", the failed test's "Error: MPLSetData, ..." text, or
 * "Error: MPLSetData, bar log not written" (then no partial line is left in the log). The text is
 * read-only despite the type. */
MPLNET_EXPORT char* MPLNET_CALL MPLSetData(const RateInfo* rates, int rates_total, int shift,
                                           int nrate);
#endif

#ifdef __cplusplus
} /* extern "C" */
#endif

#if defined(_MSC_VER) && defined(_M_IX86) && defined(__cplusplus)
/* MSVC clients on 32-bit Windows: C++ linkage, so that the name the compiler looks for is the one
 * the DLL exports, ?MPLSetData@@YGPADPBURateInfo@@HHH@Z. */
__declspec(dllimport) char* __stdcall MPLSetData(const RateInfo* rates, int rates_total, int shift,
                                                 int nrate);
#endif

#endif /* MPLNET_MPLNET_H_ */
