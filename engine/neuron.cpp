// Links and neurons: the link table keyed by coordinate key, the neuron's attributes and its run.
#include <charconv>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/activation.h"
#include "engine/engine_access.h"
#include "mplnet/engine.h"

namespace mplnet {

std::string CoordinateKey(std::int64_t x, std::int64_t y) {
  // Both numbers into one small buffer: every lookup builds a key, so no temporary strings.
  char digits[42];
  char* end = std::to_chars(digits, digits + 21, x).ptr;
  end = std::to_chars(end, end + 21, y).ptr;
  return std::string(digits, end);
}

void Synapse::Add(int _x, int _y, double _in) {
  // insert keeps the link that holds the key already.
  synapse_links.insert(CoordinateKey(_x, _y), SynapseWeight{_x, _y, 0.0, _in, 0.0});
}

void Synapse::Add(int _x, int _y) {
  std::string key = CoordinateKey(_x, _y);
  if (synapse_links.contains(key)) return;  // an existing link costs no draw
  synapse_links.insert(std::move(key), SynapseWeight{_x, _y, 0.0, getRand(), 0.0});
}

void Synapse::Del(int _x, int _y) {
  synapse_links.erase(CoordinateKey(_x, _y));
}

void Synapse::SetWeight(int _x, int _y, double _in) {
  if (SynapseWeight* link = EngineAccess::Change(synapse_links, CoordinateKey(_x, _y)))
    link->weight = _in;
}

bool Synapse::Exist(int _x, int _y) const {
  return synapse_links.contains(CoordinateKey(_x, _y));
}

bool Synapse::InitSynapse(int _x, int _y) {
  const double draw = getRand();  // drawn whether or not the link exists
  SynapseWeight* link = EngineAccess::Change(synapse_links, CoordinateKey(_x, _y));
  if (link == nullptr) return false;
  link->weight = draw;
  return true;
}

std::vector<SynapseWeight> Synapse::getSynapses() const {
  std::vector<SynapseWeight> snapshot;
  snapshot.reserve(synapse_links.size());
  for (const auto& [key, link] : EngineAccess::Own(synapse_links)) {
    snapshot.push_back(SynapseWeight{link.x, link.y, 0.0, link.weight, 0.0});
  }
  return snapshot;
}

Neuron::Neuron() = default;

Neuron::Neuron(unsigned /*_x*/, unsigned /*_y*/) {
  Add(0, 0);  // spends one draw, as building an input neuron always has
  SetWeight(0, 0, 1.0);
}

Neuron::Neuron(unsigned _layer, unsigned _count, unsigned _atype, double _alpha)
    : Alpha(_alpha), atype(_atype), ntype(Null) {
  threshold = getRand();
  for (unsigned i = 0; i < _count; ++i) Add(static_cast<int>(_layer), static_cast<int>(i));
}

Neuron::Neuron(const std::vector<Coordinate>& _links, unsigned _atype, double _alpha)
    : Alpha(_alpha), atype(_atype), ntype(Null) {
  threshold = getRand();
  for (const Coordinate& c : _links) Add(c.x, c.y);
}

namespace {
// The whole-number value of a type parameter, fraction dropped, if it lies in [lo, hi]; -1
// otherwise. Comparing before converting keeps NaN, infinities and huge values from undefined
// conversions.
int TypeValue(double param, int lo, int hi) {
  if (!(param > lo - 1.0 && param < hi + 1.0)) return -1;
  const int value = static_cast<int>(param);
  return value >= lo && value <= hi ? value : -1;
}
}  // namespace

bool Neuron::SetAttr(unsigned _attr, double _param) {
  switch (_attr) {
    case ATTR_ALPHA:
      Alpha = _param;
      break;
    case ATTR_ATYPE: {
      const int value = TypeValue(_param, 0, 3);
      if (value < 0) return false;
      atype = static_cast<unsigned>(value);
      break;
    }
    case ATTR_NTYPE: {
      const int value = TypeValue(_param, 1, 3);
      if (value < 0) return false;
      ntype = static_cast<unsigned>(value);
      break;
    }
    default:
      return false;
  }
  EngineAccess::TakeAttrStamp(*this);
  return true;
}

double Neuron::GetAttr(unsigned _attr) const {
  switch (_attr) {
    case ATTR_ALPHA:
      return Alpha;
    case ATTR_ATYPE:
      return atype;
    case ATTR_NTYPE:
      return ntype;
    default:
      return 0.0;
  }
}

void Neuron::setInput(double _in, int _x, int _y) {
  if (SynapseWeight* link = EngineAccess::Change(synapse_links, CoordinateKey(_x, _y)))
    link->in = _in;
}

void Neuron::Run() {
  sum = 0.0;
  if (ntype == NInput) {
    // An input neuron passes on what was fed through its links; the last link in order wins.
    for (const auto& [key, link] : EngineAccess::Own(synapse_links)) output = link.in;
    return;
  }
  for (const auto& [key, link] : EngineAccess::Own(synapse_links)) sum += link.weight * link.in;
  sum -= threshold;
  output = Active(sum);
}

double Neuron::Active(double _in) const {
  return internal::Activate(atype, Alpha, _in);
}

double Neuron::dActive(double _in) const {
  if (atype == TH) return Alpha * (1.0 - _in) * (1.0 + _in);
  return Alpha * _in * (1.0 - _in);
}

void Neuron::setThreshold(double _in) {
  threshold = _in;
  EngineAccess::TakeAttrStamp(*this);
}

}  // namespace mplnet
