/* The C interface of mplnet: the exports a host program calls.
 *
 * Conventions:
 * 1. Every export but MPLGetOutArraySize returns a status text: a constant, zero-terminated text in
 *    the library's read-only data. Never free or change it; it stays valid while the library is
 * loaded.
 * 2. Errors are status texts beginning with "Error: "; no export ever throws, aborts or prints.
 * 3. The library holds one network for the whole process. The exports may be called from several
 *    threads: one process-wide lock lets one call in at a time.
 * 4. On 32-bit Windows every export uses the standard-call convention; 64-bit Windows has only one.
 */
#ifndef MPLNET_MPLNET_H_
#define MPLNET_MPLNET_H_

#include <mplnet/export.h>
#include <stddef.h>

/* One price bar as the host lays it out: 44 bytes, packed, little-endian; doubles are unaligned.
 * The same layout on 32-bit and 64-bit targets. */
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

/* A compiler that lays the record out otherwise would hand the library shifted prices. */
#if defined(__cplusplus)
#define MPLNET_LAYOUT_ASSERT(condition, text) static_assert(condition, text)
#elif defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L
#define MPLNET_LAYOUT_ASSERT(condition, text) _Static_assert(condition, text)
#endif
#ifdef MPLNET_LAYOUT_ASSERT
MPLNET_LAYOUT_ASSERT(sizeof(RateInfo) == 44, "RateInfo is packed to 44 bytes");
MPLNET_LAYOUT_ASSERT(offsetof(RateInfo, time) == 0, "RateInfo.time at offset 0");
MPLNET_LAYOUT_ASSERT(offsetof(RateInfo, open) == 4, "RateInfo.open at offset 4");
MPLNET_LAYOUT_ASSERT(offsetof(RateInfo, low) == 12, "RateInfo.low at offset 12");
MPLNET_LAYOUT_ASSERT(offsetof(RateInfo, high) == 20, "RateInfo.high at offset 20");
MPLNET_LAYOUT_ASSERT(offsetof(RateInfo, close) == 28, "RateInfo.close at offset 28");
MPLNET_LAYOUT_ASSERT(offsetof(RateInfo, vol) == 36, "RateInfo.vol at offset 36");
#undef MPLNET_LAYOUT_ASSERT
#endif

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

/* Loads the network file _fn (8-bit text in the process code page) as the current network.
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

/* MSVC compiling C++ for Windows: MPLSetData is declared with C++ linkage (below), so that the name
 * the compiler looks for is the decorated one the DLL exports. */
#if defined(_MSC_VER) && (defined(_M_IX86) || defined(_M_X64)) && defined(__cplusplus)
#define MPLNET_SETDATA_CXX_LINKAGE 1
#endif

#ifndef MPLNET_SETDATA_CXX_LINKAGE
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

#ifdef MPLNET_SETDATA_CXX_LINKAGE
/* The name MSVC looks for is ?MPLSetData@@YGPADPBURateInfo@@HHH@Z on 32-bit Windows and
 * ?MPLSetData@@YAPEADPEBURateInfo@@HHH@Z on 64-bit Windows (where __stdcall is ignored): the names
 * the two DLLs export. */
__declspec(dllimport) char* __stdcall MPLSetData(const RateInfo* rates, int rates_total, int shift,
                                                 int nrate);
#undef MPLNET_SETDATA_CXX_LINKAGE
#endif

#endif /* MPLNET_MPLNET_H_ */
