// The one base of the exceptions mplnet's libraries throw: network files, data tables and bar logs,
// training, import and export. A caller that only reports a failure catches mplnet::Error and
// prints what(), which names the place (file, section, key, line, element) and the reason; the
// derived types are there for callers that handle one kind of failure apart.
#ifndef MPLNET_ERROR_H_
#define MPLNET_ERROR_H_

#include <mplnet/export.h>

#include <stdexcept>

namespace mplnet {

// A failure of one of mplnet's libraries; what() says where and why.
class MPLNET_API Error : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

}  // namespace mplnet

#endif  // MPLNET_ERROR_H_
