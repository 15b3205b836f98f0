// The perceptron: its elements and layer table, building and editing, and the forward pass.
#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "engine/engine_access.h"
#include "engine/plan.h"
#include "mplnet/engine.h"

namespace mplnet {
namespace {

// Applies the layer growth rule for layer `x` to the layer table; false when the layer lies beyond
// what a network can hold.
bool GrowTo(std::vector<int>& ncount, unsigned x) {
  // The bound keeps a stray layer number from growing the layer table without limit.
  if (x >= kMostPositions) return false;
  if (x >= ncount.size()) ncount.resize(static_cast<std::size_t>(x) + 1, 0);
  return true;
}

// The neuron of an element, or nullptr when there is no element or it lost its neuron.
Neuron* NeuronOf(const std::shared_ptr<Elem>* elem) {
  return elem != nullptr && *elem != nullptr ? (*elem)->kernel.get() : nullptr;
}

}  // namespace

Perceptron::Perceptron() = default;

Perceptron::Perceptron(const Perceptron& _other)
    : SIGM_ALFA(_other.SIGM_ALFA),
      TANH_ALFA(_other.TANH_ALFA),
      mpl(_other.mpl),
      ncount(_other.ncount) {}

Perceptron::Perceptron(Perceptron&& _other) noexcept = default;

Perceptron& Perceptron::operator=(const Perceptron& _other) {
  if (this != &_other) {
    SIGM_ALFA = _other.SIGM_ALFA;
    TANH_ALFA = _other.TANH_ALFA;
    mpl = _other.mpl;
    ncount = _other.ncount;
    plan_.reset();
  }
  return *this;
}

Perceptron& Perceptron::operator=(Perceptron&& _other) noexcept = default;

Perceptron::~Perceptron() = default;

Perceptron::Perceptron(const std::vector<int>& _ncount) {
  const std::size_t layers = _ncount.size();
  for (std::size_t i = 0; i < layers; ++i) {
    const auto x = static_cast<unsigned>(i);
    for (int j = 0; j < _ncount[i]; ++j) {
      const auto y = static_cast<unsigned>(j);
      if (i == 0) {
        Add(0, y);
        AddLink(0, y, 0, 0);
      } else if (i == layers - 1) {
        Add(x, y, Neuron::NOutput, Neuron::SIGM);
      } else {
        Add(x, y, Neuron::NHiden, Neuron::SIGM);
      }
    }
  }
}

bool Perceptron::Add(unsigned _x, unsigned _y) {
  plan_.reset();  // the compiled pass follows the elements and the layer table
  std::string key = CoordinateKey(_x, _y);
  if (mpl.contains(key) || !GrowTo(ncount, _x)) return false;
  mpl.insert(std::move(key), std::make_shared<Elem>(Elem{_x, _y, std::make_shared<Neuron>()}));
  ++ncount[_x];
  return true;
}

bool Perceptron::Add(unsigned _x, unsigned _y, unsigned _ntype, unsigned _atype) {
  // There is no layer before layer 0, and no steepness for other activation types.
  if (_x == 0 || (_atype != Neuron::TH && _atype != Neuron::SIGM && _atype != Neuron::EXP)) {
    return false;
  }
  plan_.reset();
  std::string key = CoordinateKey(_x, _y);
  if (mpl.contains(key) || !GrowTo(ncount, _x)) return false;
  const auto sources = static_cast<unsigned>(ncount[_x - 1]);
  const double alpha = _atype == Neuron::SIGM ? SIGM_ALFA : TANH_ALFA;
  auto neuron = std::make_shared<Neuron>(_x - 1, sources, _atype, alpha);
  neuron->SetAttr(Neuron::ATTR_NTYPE, _ntype);  // other types leave it Null
  mpl.insert(std::move(key), std::make_shared<Elem>(Elem{_x, _y, std::move(neuron)}));
  ++ncount[_x];
  return true;
}

bool Perceptron::Del(unsigned _x, unsigned _y) {
  plan_.reset();  // lets go of the removed neuron at once
  const std::string key = CoordinateKey(_x, _y);
  const std::shared_ptr<Elem>* found = EngineAccess::Peek(mpl, key);
  if (found == nullptr) return false;
  // The count goes down for the layer the removed element counted in: with colliding keys that is
  // not always `_x`, and layer `_x` may not even be in the table.
  const Elem* removed = found->get();
  const unsigned layer = removed != nullptr ? removed->x : _x;
  mpl.erase(key);
  if (layer < ncount.size() && ncount[layer] > 0) --ncount[layer];
  return true;
}

bool Perceptron::SetAttr(unsigned _x, unsigned _y, unsigned _attr, double _param) {
  Neuron* neuron = NeuronOf(EngineAccess::Peek(mpl, CoordinateKey(_x, _y)));
  return neuron != nullptr && neuron->SetAttr(_attr, _param);
}

double Perceptron::GetAttr(unsigned _x, unsigned _y, unsigned _attr) const {
  const Neuron* neuron = NeuronOf(EngineAccess::Peek(mpl, CoordinateKey(_x, _y)));
  return neuron != nullptr ? neuron->GetAttr(_attr) : 0.0;
}

void Perceptron::setThreshold(unsigned _x, unsigned _y, double _in) {
  if (Neuron* neuron = NeuronOf(EngineAccess::Peek(mpl, CoordinateKey(_x, _y))))
    neuron->setThreshold(_in);
}

void Perceptron::AddLink(unsigned _x1, unsigned _y1, unsigned _x2, unsigned _y2, double _in) {
  Neuron* neuron = NeuronOf(EngineAccess::Peek(mpl, CoordinateKey(_x1, _y1)));
  if (neuron != nullptr) neuron->Add(static_cast<int>(_x2), static_cast<int>(_y2), _in);
}

void Perceptron::AddLink(unsigned _x1, unsigned _y1, unsigned _x2, unsigned _y2) {
  Neuron* neuron = NeuronOf(EngineAccess::Peek(mpl, CoordinateKey(_x1, _y1)));
  if (neuron != nullptr) neuron->Add(static_cast<int>(_x2), static_cast<int>(_y2));
}

void Perceptron::DelLink(unsigned _x1, unsigned _y1, unsigned _x2, unsigned _y2) {
  Neuron* neuron = NeuronOf(EngineAccess::Peek(mpl, CoordinateKey(_x1, _y1)));
  if (neuron != nullptr) neuron->Del(static_cast<int>(_x2), static_cast<int>(_y2));
}

std::vector<Coordinate> Perceptron::GetLinks(unsigned _x, unsigned _y) const {
  const std::string key = CoordinateKey(static_cast<int>(_x), static_cast<int>(_y));
  std::vector<Coordinate> consumers;
  for (const auto& [elem_key, elem] : EngineAccess::Own(mpl)) {
    if (elem != nullptr && elem->kernel != nullptr && elem->kernel->synapse_links.contains(key)) {
      consumers.push_back(Coordinate{static_cast<int>(elem->x), static_cast<int>(elem->y)});
    }
  }
  return consumers;
}

void Perceptron::setWeight(unsigned _x1, unsigned _y1, unsigned _x2, unsigned _y2, double _in) {
  Neuron* neuron = NeuronOf(EngineAccess::Peek(mpl, CoordinateKey(_x1, _y1)));
  if (neuron != nullptr) neuron->SetWeight(static_cast<int>(_x2), static_cast<int>(_y2), _in);
}

void Perceptron::setWeight(unsigned _x1, unsigned _y1, unsigned _x2, unsigned _y2) {
  Neuron* neuron = NeuronOf(EngineAccess::Peek(mpl, CoordinateKey(_x1, _y1)));
  if (neuron == nullptr) return;
  const auto x = static_cast<int>(_x2);
  const auto y = static_cast<int>(_y2);
  if (!neuron->Exist(x, y)) {
    neuron->Add(x, y);  // a new link costs a draw that is overwritten at once
  }
  neuron->SetWeight(x, y, Synapse::getRand());
}

void Perceptron::setActivationAll(unsigned _func) {
  for (const auto& [key, elem] : EngineAccess::Own(mpl)) {
    if (elem != nullptr && elem->kernel != nullptr) {
      elem->kernel->SetAttr(Neuron::ATTR_ATYPE, _func);
    }
  }
}

void Perceptron::SetMPL(const std::vector<std::shared_ptr<Elem>>& _mpl) {
  plan_.reset();
  mpl.clear();
  ncount.clear();
  for (const std::shared_ptr<Elem>& elem : _mpl) {
    if (elem == nullptr || elem->kernel == nullptr) {
      continue;  // an element never lives without a neuron
    }
    std::string description;
    if (!GrowTo(ncount, elem->x)) {
      description = "layer " + std::to_string(elem->x) + " of element (" + std::to_string(elem->x) +
                    ", " + std::to_string(elem->y) + ") lies beyond the largest layer";
    } else {
      std::string key = CoordinateKey(elem->x, elem->y);
      if (mpl.insert(key, elem)) {
        ++ncount[elem->x];
        continue;
      }
      description = "the coordinate key " + key + " of element (" + std::to_string(elem->x) + ", " +
                    std::to_string(elem->y) + ") is held by an earlier element";
    }
    std::printf("Exception Des:\n   %s\n", description.c_str());
    std::fflush(stdout);
  }
}

std::shared_ptr<Elem> Perceptron::getElem(int _x, int _y) const {
  const std::shared_ptr<Elem>* found = EngineAccess::Peek(mpl, CoordinateKey(_x, _y));
  return found != nullptr ? *found : nullptr;
}

std::vector<std::shared_ptr<Elem>> Perceptron::GetMPL() const {
  std::vector<std::shared_ptr<Elem>> elems;
  elems.reserve(mpl.size());
  for (const auto& [key, elem] : EngineAccess::Own(mpl)) elems.push_back(elem);
  return elems;
}

void Perceptron::Run(const std::vector<double>& _in) {
  Run(_in.data(), _in.size());
}

void Perceptron::Run(const double* _in, std::size_t _count) {
  // The plan runs the same visits as calling CalcNeuron for every position in order, layer by
  // layer; inputs beyond the array given are not fed, and those elements keep their previous
  // output.
  if (plan_ == nullptr || !plan_->Valid(mpl)) {
    plan_.reset();
    plan_ = std::make_unique<Plan>(std::as_const(mpl), ncount);
  }
  plan_->Run(_in, _count);
}

void Perceptron::CalcNeuron(double _in, int _x, int _y) {
  Neuron* neuron = NeuronOf(EngineAccess::Peek(mpl, CoordinateKey(_x, _y)));
  if (neuron == nullptr) return;
  neuron->setInput(_in, 0, 0);
  neuron->Run();
}

void Perceptron::CalcNeuron(int _x, int _y) {
  Neuron* neuron = NeuronOf(EngineAccess::Peek(mpl, CoordinateKey(_x, _y)));
  if (neuron == nullptr) return;
  for (const SynapseWeight& link : neuron->getSynapses()) {
    // A source computed later in the pass gives its output of the previous pass; a missing one
    // gives 0.
    const Neuron* source = NeuronOf(EngineAccess::Peek(mpl, CoordinateKey(link.x, link.y)));
    neuron->setInput(source != nullptr ? source->getOutput() : 0.0, link.x, link.y);
  }
  neuron->Run();
}

std::vector<double> Perceptron::GetOutput() const {
  std::vector<double> outputs(static_cast<std::size_t>(std::max(GetLayerSize(GetLCount() - 1), 0)));
  GetOutput(outputs.data());
  return outputs;
}

int Perceptron::GetOutput(double* _out) const {
  int count = 0;
  if (plan_ != nullptr && plan_->WriteOutputs(mpl, _out, count)) return count;
  if (ncount.empty()) return 0;
  const int last = static_cast<int>(ncount.size()) - 1;
  for (int i = 0; i < ncount.back(); ++i) {
    const Neuron* neuron = NeuronOf(EngineAccess::Peek(mpl, CoordinateKey(last, i)));
    _out[i] = neuron != nullptr ? neuron->getOutput() : 0.0;
  }
  return ncount.back();
}

}  // namespace mplnet
