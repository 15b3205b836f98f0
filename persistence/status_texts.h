// The status texts the exports answer with, each in one place. Hosts compare them byte for byte,
// blanks included, so they are never spelled out anywhere else.
//
// They live here rather than in host/ because the network file's writer and reader answer with
// some of them, and persistence/ includes nothing from host/; the exports and the tool include
// them from here.
#ifndef MPLNET_PERSISTENCE_STATUS_TEXTS_H_
#define MPLNET_PERSISTENCE_STATUS_TEXTS_H_

namespace mplnet::status {

// MPLRun
inline constexpr char kRan[] = "test";
inline constexpr char kNoNetwork[] = "Error: MPLRun, no network loaded";
inline constexpr char kArrayNull[] = "Error: MPLRun, array is NULL";
inline constexpr char kWrongInSize[] = "Error: MPLRun, wrong in_size number";
inline constexpr char kRunInternalError[] = "Error: MPLRun, internal error";
// The facade's own answer to a run, which MPLRun does not pass on.
inline constexpr char kFacadeRan[] = "MPLRun: successful";

// MPLLoad (the leading and trailing blanks belong to the text)
inline constexpr char kLoaded[] = " MPL network load ";
inline constexpr char kNotLoaded[] = "Error: MPLLoad, network file not loaded";
inline constexpr char kLoadInternalError[] = "Error: MPLLoad, internal error";

// MPLSave (the leading blank belongs to the text)
inline constexpr char kSaved[] = " MPL network save";
inline constexpr char kNotSaved[] = "Error: MPLSave, network file not saved";
inline constexpr char kSaveInternalError[] = "Error: MPLSave, internal error";

// MPLSetData
inline constexpr char kBarsLogged[] = "MPLSetData: Successful";
inline constexpr char kRatesNull[] = "Error: MPLSetData, rates is NULL";
inline constexpr char kWrongRatesTotal[] = "Error: MPLSetData, wrong rates_total number";
inline constexpr char kWrongShift[] = "Error: MPLSetData, wrong shift number";
inline constexpr char kWrongRateIndex[] = "Error: MPLSetData, wrong rate index";
inline constexpr char kBarLogNotWritten[] = "Error: MPLSetData, bar log not written";
inline constexpr char kSetDataInternalError[] = "Error: MPLSetData, internal error";

}  // namespace mplnet::status

#endif  // MPLNET_PERSISTENCE_STATUS_TEXTS_H_
