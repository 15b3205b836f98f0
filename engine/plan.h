// The compiled forward pass of a perceptron: its elements flattened into arrays once, then run with
// the same arithmetic, in the same order, as visiting every element through its coordinate key.
//
// What the plan reproduces, bit for bit:
// - Positions are visited layer by layer and index by index; each position resolves to whatever
//   element holds its key (so (11, 0) resolves to the element under "110", which may be (1, 10)); a
//   position without an element, or whose element lost its neuron, is skipped.
// - A neuron's sum starts at 0, adds weight × input one link at a time in link order, and then
//   subtracts the threshold; the activation is internal::Activate, as on every other path.
// - A link feeds the current output of the element under its source's key: the previous pass's
//   output when that element comes later, 0 when there is no such element.
// - Input positions feed the link keyed (0, 0) only while the input array reaches them.
// Neurons visited once whose links are fed as listed (the usual case) run on the fast paths: input
// elements copy their input; consecutive neurons, none reading a neuron of the group before it, run
// as a group, link by link across the group in SIMD lanes, each lane a neuron keeping its own
// sequential sum. Neurons with one source list (dense layers) gather it once for the group; others
// read their own sources.
// Everything else (a neuron visited twice, an input-type neuron past layer 0, a link whose fields
// no longer match its key, a neuron whose link records were handed out to callers) runs on an
// exact general path over the neuron's own link records, which reads weights and inputs from the
// records and writes the inputs into them on every pass.
//
// The plan writes each neuron's output and sum at once. The inputs the fast paths feed through
// links it keeps in its own arrays and writes into the links only when someone reads or changes
// one of its neurons' link tables (OrderedMap settles first), when another plan runs one of its
// neurons, or when it is dropped. Writing them on every pass would touch one cache line per link.
// Nobody can hold a record of those tables meanwhile: a table that hands its records out leaves
// the fast paths.
#ifndef MPLNET_ENGINE_PLAN_H_
#define MPLNET_ENGINE_PLAN_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "engine/engine_access.h"
#include "engine/kernels.h"
#include "mplnet/engine.h"

namespace mplnet::internal {

class ForwardPlan : public DeferredValues {
 public:
  using ElemMap = OrderedMap<std::shared_ptr<Elem>>;

  // Flattens the network made of `mpl` and `ncount` as it stands now.
  ForwardPlan(const ElemMap& mpl, const std::vector<int>& ncount);
  // Writes back the link inputs it still keeps.
  ~ForwardPlan();
  ForwardPlan(const ForwardPlan&) = delete;
  ForwardPlan& operator=(const ForwardPlan&) = delete;

  // Whether the network is still the one the plan was built from: the same elements, each with the
  // same neuron, no neuron's links, weights, attributes or threshold changed through an operation,
  // no table newly handed out, and every handed-out record still naming the source it named.
  bool Valid(const ElemMap& mpl);
  // One forward pass on the first `n` values of `in`.
  void Run(const double* in, std::size_t n);
  // Writes the last layer's outputs, read from the elements now, into `out` and sets `count`;
  // false, and nothing written, when the element map changed since the plan was built.
  bool WriteOutputs(const ElemMap& mpl, double* out, int& count) const;

  void Settle() noexcept override;

 private:
  using LinkEntry = OrderedMap<SynapseWeight>::value_type;

  // A neuron the plan reads or runs, with what it checks for changes.
  struct Slot {
    Neuron* neuron;
    double* output;
    std::uint64_t links_stamp;
    std::uint64_t attr_stamp;
  };
  // An element the plan looked up, with the neuron it held then.
  struct ElemCheck {
    const std::shared_ptr<Neuron>* field;  // the element's `kernel`
    const Neuron* kernel;
  };
  // An input element that copies its input: fed through its last link, keyed (0, 0).
  struct Feed {
    SynapseWeight* link;
    double* output;
    double* sum;
    std::uint32_t input;  // index into the input array
    std::uint32_t slot;
    double pending;  // the value last fed, not yet written into `link`
  };
  // A member of a group of neurons run together; its threshold and steepness lie in thresholds_
  // and alphas_ at the same index.
  struct Member {
    LinkEntry* records;  // the member's link records, in link order
    std::uint32_t link_count;
    double* output;
    double* sum;
    std::uint32_t slot;
  };
  // Members [first_member, first_member + lanes) of a group (counted within the group), summed
  // `width` lanes wide over `rows` rows, row k holding each member's link k (spare lanes and rows
  // carry zero weights); the weights lie row-major from `first_weight`. Without a shared source
  // list the block reads its sources (row-major from `first_source`) straight from `outputs_`;
  // `row_run_count` row runs from `first_row_run` hold the ends of alternating runs of rows, first
  // rows where all members read one source (loaded once), then rows where they differ. A link's
  // input is the source's output at the end of the pass, unless the source runs again later in the
  // pass: such outputs are copied before the block runs (`snapshot_count` copies from
  // `first_snapshot`), and the settle positions from `first_settle` (row-major) tell where each
  // link's input lies.
  struct Block {
    std::uint32_t first_member;
    std::uint32_t width;
    std::uint32_t vectors;  // width in the kernels' vectors
    std::uint32_t lanes;
    std::uint32_t rows;
    std::uint32_t first_weight;
    std::uint32_t first_source;
    std::uint32_t first_row_run;
    std::uint32_t row_run_count;
    std::uint32_t first_settle;
    std::uint32_t first_snapshot;
    std::uint32_t snapshot_count;
  };
  // A copy of a source's output, taken when a block runs, into `outputs_[position]`.
  struct Snapshot {
    std::uint32_t position;
    std::uint32_t slot;
  };
  // Consecutive neurons run together, none reading a member before it. With a shared source list
  // the `link_count` sources (from `first_source`) are gathered once into `gathered_` from
  // `first_gathered`, unless they lie `direct`ly in order in outputs_; those are the inputs of
  // every member's links. The first `tanh_count` members are TH, the others of a sigmoid type.
  struct Group {
    bool shared;
    bool direct;
    std::uint32_t link_count;
    std::uint32_t first_source;
    std::uint32_t first_gathered;
    std::uint32_t first_member;
    std::uint32_t member_count;
    std::uint32_t tanh_count;
    std::uint32_t first_block;
    std::uint32_t block_count;
  };
  // One link feed of the general path: the source's slot and the link record written.
  struct ExactFeed {
    std::uint32_t source;
    SynapseWeight* target;  // nullptr: no link has the source's key, nothing is written
  };
  // One visit on the general path, following the neuron's own records.
  struct Exact {
    LinkEntry* records;
    std::uint32_t link_count;
    std::uint32_t slot;
    bool input_position;        // layer 0: fed from the input array
    bool input_type;            // the neuron passes on its last link's input
    std::uint32_t input;        // index into the input array, for an input position
    SynapseWeight* input_link;  // the link keyed (0, 0), for an input position; may be nullptr
    std::uint32_t first_feed;   // into exact_feeds_, for other positions
    std::uint32_t feed_count;
    double* output;
    double* sum;
    double threshold;
    double alpha;
    unsigned atype;
  };
  // A link record handed out to callers, with the source it named when the plan was built: the
  // feeds follow the record's `x` and `y`, so a change to them means building the plan afresh.
  struct Watched {
    const SynapseWeight* record;
    int x;
    int y;
  };
  enum class OpKind : std::uint8_t { kFeeds, kGroup, kExact };
  struct Op {
    OpKind kind;
    std::uint32_t first;
    std::uint32_t count;
  };

  class Builder;

  // Claims every neuron of the plan (settling whoever held them before) and reloads their outputs.
  void Register() noexcept;
  void RunFeeds(const Op& op, const double* in, std::size_t n);
  void RunGroup(const Group& group);
  // The inputs of a group with one source list, as its last run read them.
  const double* SharedInputs(const Group& group) const;
  void RunExact(const Exact& exact, const double* in, std::size_t n);

  const Kernels* kernels_;
  std::uint64_t mpl_stamp_ = 0;
  std::uint64_t checked_at_ = 0;  // the last stamp handed out when the neurons' stamps last matched
  std::vector<ElemCheck> elems_;
  std::vector<Slot> slots_;
  std::vector<std::shared_ptr<Neuron>> held_;  // keeps every neuron alive while values are kept
  // Per slot, the neuron's current output; then one slot that holds +0; then the snapshots.
  std::vector<double> outputs_;
  std::uint32_t zero_slot_ = 0;
  std::vector<Op> ops_;
  std::vector<Feed> feeds_;
  std::vector<Group> groups_;
  std::vector<Member> members_;
  std::vector<double> thresholds_;  // per member, then room for a block's spare lanes
  std::vector<double> alphas_;
  // A group's sums as its blocks leave them, the sums minus thresholds, and the activations.
  std::vector<double> sums_;
  std::vector<double> s_;
  std::vector<double> activated_;
  std::vector<Block> blocks_;
  std::vector<std::uint32_t> sources_;
  std::vector<double> gathered_;
  std::vector<std::uint32_t> row_runs_;
  std::vector<std::uint32_t> settle_from_;
  std::vector<Snapshot> snapshots_;
  std::vector<double> weights_;
  std::vector<Exact> exacts_;
  std::vector<ExactFeed> exact_feeds_;
  std::vector<Watched> watched_;
  // The last layer's elements' `kernel` fields by index; nullptr where no element is.
  std::vector<const std::shared_ptr<Neuron>*> output_kernels_;
  bool registered_ = false;
};

}  // namespace mplnet::internal

namespace mplnet {
// The compiled pass a perceptron keeps, behind an opaque member of the public class; like the rest
// of the engine's machinery it is not exported, though its enclosing class is.
class MPLNET_HIDDEN Perceptron::Plan final : public internal::ForwardPlan {
 public:
  using ForwardPlan::ForwardPlan;
};
}  // namespace mplnet

#endif  // MPLNET_ENGINE_PLAN_H_
