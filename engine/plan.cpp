// The compiled forward pass: building the arrays, checking them, and running them.
#include "engine/plan.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <limits>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "engine/activation.h"
#include "engine/kernels.h"

namespace mplnet {

namespace {
// The last stamp handed out. Every stamp of every link table and every neuron's attributes comes
// from here, so while it stands still nothing a plan depends on, except an element's neuron, has
// changed.
std::atomic<std::uint64_t> g_last_stamp{0};
}  // namespace

namespace internal {

std::uint64_t NextStamp() {
  return g_last_stamp.fetch_add(1, std::memory_order_relaxed) + 1;
}

namespace {

std::uint64_t LastStamp() {
  return g_last_stamp.load(std::memory_order_relaxed);
}

constexpr std::uint32_t kNoSource = std::numeric_limits<std::uint32_t>::max();

// The block width for `members` members still to place: the widest block while they fill it, then
// the narrowest whole number of vectors that holds them all. Spare lanes compute on zero weights
// and are never read.
std::uint32_t BlockWidth(const Kernels& kernels, std::uint32_t members) {
  if (members >= kernels.max_block) return kernels.max_block;
  return (members + kernels.lanes - 1) / kernels.lanes * kernels.lanes;
}

}  // namespace

// Gathers what the plan needs from the network, one lookup per position and per link.
class ForwardPlan::Builder {
 public:
  Builder(ForwardPlan& plan, const ElemMap& mpl) : plan_(plan), mpl_(mpl) {}

  void Build(const std::vector<int>& ncount) {
    CollectVisits(ncount);
    for (const Visit& visit : visits_) {
      if (visit.input_position) {
        AddInputVisit(visit);
      } else {
        AddComputeVisit(visit);
      }
    }
    FlushCandidates();
    CollectOutputs(ncount);
    Finish();
  }

 private:
  struct Visit {
    std::uint32_t slot;
    bool input_position;
    std::uint32_t input;
  };
  // The links of a neuron as a visit feeds them.
  struct Links {
    LinkEntry* records = nullptr;
    std::uint32_t link_count = 0;
    bool as_listed = true;  // every link is fed through its own record
    std::vector<std::uint32_t> sources;
    std::vector<SynapseWeight*> targets;
  };
  // A neuron that can run in a group, waiting for the next ones with the same sources.
  struct Candidate {
    std::uint32_t slot;
    const Links* links;
  };

  // The records of a table, which the plan reads and writes while it holds the neuron.
  static LinkEntry* RecordsOf(const OrderedMap<SynapseWeight>& table) {
    return table.empty() ? nullptr : const_cast<LinkEntry*>(EngineAccess::Own(table).data());
  }

  // The neuron of the element under `key`, or nullptr; remembers the element for Valid().
  const std::shared_ptr<Neuron>* Lookup(const std::string& key) {
    const std::shared_ptr<Elem>* found = EngineAccess::Peek(mpl_, key);
    if (found == nullptr || *found == nullptr) return nullptr;
    const Elem* elem = found->get();
    if (seen_elems_.insert(elem).second) {
      plan_.elems_.push_back({&elem->kernel, elem->kernel.get()});
    }
    return elem->kernel != nullptr ? &elem->kernel : nullptr;
  }

  std::uint32_t SlotOf(const std::shared_ptr<Neuron>& neuron) {
    auto [it, added] =
        slot_of_.try_emplace(neuron.get(), static_cast<std::uint32_t>(plan_.slots_.size()));
    if (added) {
      const EngineAccess::NeuronFields fields = EngineAccess::FieldsOf(*neuron);
      plan_.slots_.push_back({neuron.get(), fields.output,
                              EngineAccess::Stamp(neuron->synapse_links),
                              EngineAccess::AttrStamp(*neuron)});
      plan_.held_.push_back(neuron);
    }
    return it->second;
  }

  std::uint32_t SourceSlot(const std::string& key) {
    const std::shared_ptr<Neuron>* neuron = Lookup(key);
    return neuron != nullptr ? SlotOf(*neuron) : kNoSource;
  }

  void CollectVisits(const std::vector<int>& ncount) {
    for (std::size_t i = 0; i < ncount.size(); ++i) {
      for (int j = 0; j < ncount[i]; ++j) {
        const std::shared_ptr<Neuron>* neuron =
            Lookup(CoordinateKey(static_cast<std::int64_t>(i), j));
        if (neuron == nullptr) continue;
        const std::uint32_t slot = SlotOf(*neuron);
        visits_.push_back({slot, i == 0, static_cast<std::uint32_t>(j)});
        ++visit_count_[slot];
      }
    }
  }

  const Links& LinksOf(std::uint32_t slot) {
    auto [it, added] = links_of_.try_emplace(slot);
    Links& links = it->second;
    if (!added) return links;
    const OrderedMap<SynapseWeight>& table = plan_.slots_[slot].neuron->synapse_links;
    links.link_count = static_cast<std::uint32_t>(table.size());
    links.records = RecordsOf(table);
    for (std::uint32_t k = 0; k < links.link_count; ++k) {
      LinkEntry& entry = links.records[k];
      // The feed looks the source up, and the record up, by the key of the record's own fields.
      const std::string key = CoordinateKey(entry.second.x, entry.second.y);
      links.sources.push_back(SourceSlot(key));
      SynapseWeight* target = key == entry.first
                                  ? &entry.second
                                  : const_cast<SynapseWeight*>(EngineAccess::Peek(table, key));
      links.targets.push_back(target);
      links.as_listed = links.as_listed && target == &entry.second;
    }
    return links;
  }

  void AddInputVisit(const Visit& visit) {
    Neuron* neuron = plan_.slots_[visit.slot].neuron;
    const EngineAccess::NeuronFields fields = EngineAccess::FieldsOf(*neuron);
    const OrderedMap<SynapseWeight>& table = neuron->synapse_links;
    SynapseWeight* input_link =
        const_cast<SynapseWeight*>(EngineAccess::Peek(table, CoordinateKey(0, 0)));
    const bool copies_input = fields.ntype == Neuron::NInput && table.size() > 0 &&
                              EngineAccess::Own(table).back().first == CoordinateKey(0, 0);
    if (visit_count_[visit.slot] == 1 && copies_input && !EngineAccess::HandedOut(table)) {
      FlushCandidates();
      AddOp(OpKind::kFeeds, static_cast<std::uint32_t>(plan_.feeds_.size()));
      plan_.feeds_.push_back(
          {input_link, fields.output, fields.sum, visit.input, visit.slot, input_link->in});
      return;
    }
    AddExact(visit, fields, input_link, nullptr);
  }

  void AddComputeVisit(const Visit& visit) {
    Neuron* neuron = plan_.slots_[visit.slot].neuron;
    const EngineAccess::NeuronFields fields = EngineAccess::FieldsOf(*neuron);
    const Links& links = LinksOf(visit.slot);
    if (visit_count_[visit.slot] == 1 && fields.ntype != Neuron::NInput && links.as_listed &&
        !EngineAccess::HandedOut(neuron->synapse_links)) {
      if (!Joins(links)) FlushCandidates();
      if (candidates_.size() == 1) shared_ = candidates_.front().links->sources == links.sources;
      candidates_.push_back({visit.slot, &links});
      members_.insert(visit.slot);
      return;
    }
    AddExact(visit, fields, nullptr, &links);
  }

  // Whether the next neuron may run in the group being formed. All members gather their inputs
  // before any of them runs, so none may read a member before it (reading itself or a later
  // member gives the previous output either way). A group keeps one source list for all members,
  // or else gives each member its own; two neighbours with one list start a group of their own.
  bool Joins(const Links& links) const {
    if (candidates_.empty()) return true;
    for (std::uint32_t source : links.sources) {
      if (members_.count(source) != 0) return false;
    }
    const std::vector<std::uint32_t>& last = candidates_.back().links->sources;
    if (candidates_.size() == 1) return true;
    return shared_ ? last == links.sources : last != links.sources;
  }

  void AddExact(const Visit& visit, const EngineAccess::NeuronFields& fields,
                SynapseWeight* input_link, const Links* links) {
    FlushCandidates();
    const OrderedMap<SynapseWeight>& table = plan_.slots_[visit.slot].neuron->synapse_links;
    Exact exact{};
    exact.link_count = static_cast<std::uint32_t>(table.size());
    exact.records = RecordsOf(table);
    exact.slot = visit.slot;
    exact.input_position = visit.input_position;
    exact.input_type = fields.ntype == Neuron::NInput;
    exact.input = visit.input;
    exact.input_link = input_link;
    exact.first_feed = static_cast<std::uint32_t>(plan_.exact_feeds_.size());
    if (links != nullptr) {
      for (std::uint32_t k = 0; k < links->link_count; ++k) {
        plan_.exact_feeds_.push_back({links->sources[k], links->targets[k]});
      }
      exact.feed_count = links->link_count;
      if (EngineAccess::HandedOut(table)) {
        for (std::uint32_t k = 0; k < links->link_count; ++k) {
          const SynapseWeight& record = links->records[k].second;
          plan_.watched_.push_back({&record, record.x, record.y});
        }
      }
    }
    exact.output = fields.output;
    exact.sum = fields.sum;
    exact.threshold = fields.threshold;
    exact.alpha = fields.alpha;
    exact.atype = fields.atype;
    AddOp(OpKind::kExact, static_cast<std::uint32_t>(plan_.exacts_.size()));
    plan_.exacts_.push_back(exact);
  }

  // Turns the waiting neurons into one group: TH members first, then those of a sigmoid type,
  // each in visit order, in blocks of up to max_block lanes, each block's weights (and, without a
  // shared list, its sources) stored link by link so that one pass over them feeds the whole
  // block. All sums of a group are taken before any member's output changes, and no member reads
  // a member visited before it, so the order within a group is free: grouping by activation lets
  // whole vectors of members share one activation function.
  void FlushCandidates() {
    if (candidates_.empty()) return;
    std::stable_partition(candidates_.begin(), candidates_.end(), [this](const Candidate& c) {
      return EngineAccess::FieldsOf(*plan_.slots_[c.slot].neuron).atype == Neuron::TH;
    });
    Group group{};
    group.shared = shared_ || candidates_.size() == 1;
    group.first_member = static_cast<std::uint32_t>(plan_.members_.size());
    group.member_count = static_cast<std::uint32_t>(candidates_.size());
    for (const Candidate& candidate : candidates_) {
      const EngineAccess::NeuronFields fields =
          EngineAccess::FieldsOf(*plan_.slots_[candidate.slot].neuron);
      plan_.members_.push_back({candidate.links->records, candidate.links->link_count,
                                fields.output, fields.sum, candidate.slot});
      plan_.thresholds_.push_back(fields.threshold);
      plan_.alphas_.push_back(fields.alpha);
      if (fields.atype == Neuron::TH) ++group.tanh_count;
    }
    most_members_ = std::max(most_members_, group.member_count);
    if (group.shared) {
      const Links& shared = *candidates_.front().links;
      group.link_count = shared.link_count;
      group.first_source = static_cast<std::uint32_t>(plan_.sources_.size());
      plan_.sources_.insert(plan_.sources_.end(), shared.sources.begin(), shared.sources.end());
      group.first_gathered = static_cast<std::uint32_t>(plan_.gathered_.size());
      plan_.gathered_.resize(plan_.gathered_.size() + shared.link_count, 0.0);
    }
    group.first_block = static_cast<std::uint32_t>(plan_.blocks_.size());
    std::uint32_t offset = 0;
    while (offset < group.member_count) {
      // Members of a block may differ a little in their link counts; see AddBlock.
      std::uint32_t fewest = candidates_[offset].links->link_count;
      std::uint32_t most = fewest;
      std::uint32_t lanes = 1;
      while (lanes < plan_.kernels_->max_block && offset + lanes < group.member_count) {
        const std::uint32_t count = candidates_[offset + lanes].links->link_count;
        const std::uint32_t new_fewest = std::min(fewest, count);
        const std::uint32_t new_most = std::max(most, count);
        if (new_most - new_fewest > std::max<std::uint32_t>(4, new_fewest / 8)) break;
        fewest = new_fewest;
        most = new_most;
        ++lanes;
      }
      AddBlock(group, offset, lanes, most);
      offset += lanes;
    }
    group.block_count = static_cast<std::uint32_t>(plan_.blocks_.size()) - group.first_block;
    AddOp(OpKind::kGroup, static_cast<std::uint32_t>(plan_.groups_.size()));
    plan_.groups_.push_back(group);
    candidates_.clear();
    members_.clear();
    shared_ = false;
  }

  // A block runs `links` rows, row k holding each member's link k. A member with fewer links, like
  // a spare lane, has zero weights in the rows past its own; without a shared list those rows add
  // -0 × the slot that holds +0: s + -0 is s for every s, so the lane's sum stays its own links'.
  void AddBlock(const Group& group, std::uint32_t offset, std::uint32_t lanes,
                std::uint32_t links) {
    Block block{};
    block.first_member = offset;
    block.width = BlockWidth(*plan_.kernels_, lanes);
    block.vectors = block.width / plan_.kernels_->lanes;
    block.lanes = lanes;
    block.rows = links;
    block.first_weight = static_cast<std::uint32_t>(plan_.weights_.size());
    if (!group.shared) {
      block.first_source = static_cast<std::uint32_t>(plan_.sources_.size());
      block.first_row_run = static_cast<std::uint32_t>(plan_.row_runs_.size());
      own_blocks_.push_back({static_cast<std::uint32_t>(plan_.ops_.size()),
                             static_cast<std::uint32_t>(plan_.blocks_.size())});
    }
    bool shared_run = true;  // runs alternate, starting with rows of one source
    for (std::uint32_t row = 0; row < links; ++row) {
      bool one_source = true;
      for (std::uint32_t b = 0; b < block.width; ++b) {
        const Links* member = b < lanes ? candidates_[offset + b].links : nullptr;
        const bool used = member != nullptr && row < member->link_count;
        plan_.weights_.push_back(used ? member->records[row].second.weight : -0.0);
        if (group.shared) continue;
        const std::uint32_t source = used ? member->sources[row] : kNoSource;
        plan_.sources_.push_back(source);
        if (b < lanes && source != plan_.sources_[plan_.sources_.size() - 1 - b]) {
          one_source = false;
        }
        if (b < lanes && !used) one_source = false;
      }
      if (!group.shared && one_source != shared_run) {
        plan_.row_runs_.push_back(row);
        shared_run = one_source;
      }
    }
    if (!group.shared) {
      plan_.row_runs_.push_back(links);
      block.row_run_count =
          static_cast<std::uint32_t>(plan_.row_runs_.size()) - block.first_row_run;
    }
    plan_.blocks_.push_back(block);
  }

  // Consecutive input copies share one operation.
  void AddOp(OpKind kind, std::uint32_t index) {
    if (kind == OpKind::kFeeds && !plan_.ops_.empty() && plan_.ops_.back().kind == kind) {
      ++plan_.ops_.back().count;
      return;
    }
    plan_.ops_.push_back({kind, index, 1});
  }

  void CollectOutputs(const std::vector<int>& ncount) {
    if (ncount.empty()) return;
    const auto last = static_cast<std::int64_t>(ncount.size() - 1);
    for (int i = 0; i < ncount.back(); ++i) {
      const std::shared_ptr<Elem>* found = EngineAccess::Peek(mpl_, CoordinateKey(last, i));
      const Elem* elem = found != nullptr ? found->get() : nullptr;
      plan_.output_kernels_.push_back(elem != nullptr ? &elem->kernel : nullptr);
    }
  }

  // The slot that always reads 0 goes after the neurons' slots, the snapshots after it.
  void Finish() {
    plan_.zero_slot_ = static_cast<std::uint32_t>(plan_.slots_.size());
    for (std::uint32_t& source : plan_.sources_) {
      if (source == kNoSource) source = plan_.zero_slot_;
    }
    for (ExactFeed& feed : plan_.exact_feeds_) {
      if (feed.source == kNoSource) feed.source = plan_.zero_slot_;
    }
    // Activations read whole vectors: room past the last member, and for a group's spare lanes.
    const std::uint32_t spare = plan_.kernels_->max_block;
    plan_.thresholds_.resize(plan_.thresholds_.size() + spare, 0.0);
    plan_.alphas_.resize(plan_.alphas_.size() + spare, 0.0);
    for (std::vector<double>* scratch : {&plan_.sums_, &plan_.s_, &plan_.activated_}) {
      scratch->assign(most_members_ + spare, 0.0);
    }
    plan_.outputs_.assign(plan_.slots_.size() + 1, 0.0);
    for (std::size_t s = 0; s < plan_.slots_.size(); ++s) {
      plan_.outputs_[s] = *plan_.slots_[s].output;
    }
    PlaceSnapshots();
  }

  // Decides, for each link of a block without a shared list, where its input lies after the pass.
  void PlaceSnapshots() {
    // The last operation that writes each slot's output.
    std::vector<std::uint32_t> last_write(plan_.slots_.size() + 1, 0);
    for (std::uint32_t op = 0; op < plan_.ops_.size(); ++op) {
      const Op& o = plan_.ops_[op];
      auto wrote = [&](std::uint32_t slot) {
        last_write[slot] = op + 1;  // 0 stands for never
      };
      if (o.kind == OpKind::kFeeds) {
        for (std::uint32_t f = 0; f < o.count; ++f) wrote(plan_.feeds_[o.first + f].slot);
      } else if (o.kind == OpKind::kGroup) {
        const Group& group = plan_.groups_[o.first];
        for (std::uint32_t m = 0; m < group.member_count; ++m) {
          wrote(plan_.members_[group.first_member + m].slot);
        }
      } else {
        wrote(plan_.exacts_[o.first].slot);
      }
    }
    // A group with one source list reads it straight from outputs_ when it is a run of slots in
    // order that nothing writes from the group on: then the inputs are still there to settle.
    for (std::uint32_t op = 0; op < plan_.ops_.size(); ++op) {
      if (plan_.ops_[op].kind != OpKind::kGroup) continue;
      Group& group = plan_.groups_[plan_.ops_[op].first];
      if (!group.shared || group.link_count == 0) continue;
      const std::uint32_t* sources = plan_.sources_.data() + group.first_source;
      group.direct = true;
      for (std::uint32_t k = 0; k < group.link_count && group.direct; ++k) {
        group.direct = sources[k] == sources[0] + k && last_write[sources[k]] < op + 1;
      }
    }
    for (const auto& [op, index] : own_blocks_) {
      Block& block = plan_.blocks_[index];
      block.first_settle = static_cast<std::uint32_t>(plan_.settle_from_.size());
      block.first_snapshot = static_cast<std::uint32_t>(plan_.snapshots_.size());
      const std::size_t cells = static_cast<std::size_t>(block.rows) * block.width;
      std::unordered_map<std::uint32_t, std::uint32_t> kept;  // source slot -> its copy
      for (std::size_t i = 0; i < cells; ++i) {
        const std::uint32_t source = plan_.sources_[block.first_source + i];
        // Written by this group (a member reading itself or a later one) or after it.
        if (last_write[source] >= op + 1) {
          auto [it, added] =
              kept.try_emplace(source, static_cast<std::uint32_t>(plan_.outputs_.size()));
          if (added) {
            plan_.outputs_.push_back(0.0);
            plan_.snapshots_.push_back({it->second, source});
          }
          plan_.settle_from_.push_back(it->second);
        } else {
          plan_.settle_from_.push_back(source);
        }
      }
      block.snapshot_count =
          static_cast<std::uint32_t>(plan_.snapshots_.size()) - block.first_snapshot;
    }
  }

  ForwardPlan& plan_;
  const ElemMap& mpl_;
  std::vector<Visit> visits_;
  std::unordered_set<const Elem*> seen_elems_;
  std::unordered_map<const Neuron*, std::uint32_t> slot_of_;
  std::unordered_map<std::uint32_t, std::uint32_t> visit_count_;
  std::unordered_map<std::uint32_t, Links> links_of_;
  std::vector<Candidate> candidates_;
  // Blocks without a shared source list: the index of their group's operation, and their own.
  std::vector<std::pair<std::uint32_t, std::uint32_t>> own_blocks_;
  std::unordered_set<std::uint32_t> members_;  // the slots of candidates_
  bool shared_ = false;                        // candidates_ read one source list
  std::uint32_t most_members_ = 0;             // the largest group's member count
};

ForwardPlan::ForwardPlan(const ElemMap& mpl, const std::vector<int>& ncount)
    : kernels_(&ChosenKernels()), mpl_stamp_(EngineAccess::Stamp(mpl)), checked_at_(LastStamp()) {
  Builder(*this, mpl).Build(ncount);
}

ForwardPlan::~ForwardPlan() {
  Settle();
}

bool ForwardPlan::Valid(const ElemMap& mpl) {
  if (EngineAccess::Stamp(mpl) != mpl_stamp_) return false;
  // An element's neuron is a plain field: it is compared every time.
  for (const ElemCheck& check : elems_) {
    if (check.field->get() != check.kernel) return false;
  }
  // The neurons' own stamps only when some stamp was handed out since they were last compared.
  const std::uint64_t last = LastStamp();
  if (last != checked_at_) {
    for (const Slot& slot : slots_) {
      if (EngineAccess::Stamp(slot.neuron->synapse_links) != slot.links_stamp ||
          EngineAccess::AttrStamp(*slot.neuron) != slot.attr_stamp) {
        return false;
      }
    }
    checked_at_ = last;
  }
  // Records handed out may have been changed by whoever holds them, without a stamp.
  for (const Watched& watched : watched_) {
    if (watched.record->x != watched.x || watched.record->y != watched.y) return false;
  }
  return true;
}

void ForwardPlan::Register() noexcept {
  for (const Slot& slot : slots_) {
    const OrderedMap<SynapseWeight>& links = slot.neuron->synapse_links;
    DeferredValues* holder = EngineAccess::Deferred(links);
    if (holder == this) continue;
    if (holder != nullptr) holder->Settle();  // another plan ran this neuron: its values go first
    EngineAccess::SetDeferred(links, this);
  }
  // Another plan may have run some of these neurons since this one last looked: take their outputs
  // and, for input elements this plan may not feed (a short input array), their inputs.
  for (std::size_t s = 0; s < slots_.size(); ++s) outputs_[s] = *slots_[s].output;
  for (Feed& feed : feeds_) feed.pending = feed.link->in;
  registered_ = true;
}

void ForwardPlan::Settle() noexcept {
  if (!registered_) return;
  registered_ = false;
  for (const Feed& feed : feeds_) feed.link->in = feed.pending;
  for (const Group& group : groups_) {
    for (std::uint32_t b = 0; b < group.block_count; ++b) {
      const Block& block = blocks_[group.first_block + b];
      for (std::uint32_t i = 0; i < block.lanes; ++i) {
        const Member& member = members_[group.first_member + block.first_member + i];
        if (group.shared) {
          const double* in = SharedInputs(group);
          for (std::uint32_t k = 0; k < member.link_count; ++k) member.records[k].second.in = in[k];
          continue;
        }
        const std::uint32_t* from = settle_from_.data() + block.first_settle + i;
        for (std::uint32_t k = 0; k < member.link_count; ++k) {
          member.records[k].second.in = outputs_[from[static_cast<std::size_t>(k) * block.width]];
        }
      }
    }
  }
  for (const Slot& slot : slots_) {
    if (EngineAccess::Deferred(slot.neuron->synapse_links) == this) {
      EngineAccess::SetDeferred(slot.neuron->synapse_links, nullptr);
    }
  }
}

void ForwardPlan::Run(const double* in, std::size_t n) {
  if (!registered_) Register();
  for (const Op& op : ops_) {
    switch (op.kind) {
      case OpKind::kFeeds:
        RunFeeds(op, in, n);
        break;
      case OpKind::kGroup:
        RunGroup(groups_[op.first]);
        break;
      case OpKind::kExact:
        RunExact(exacts_[op.first], in, n);
        break;
    }
  }
}

void ForwardPlan::RunFeeds(const Op& op, const double* in, std::size_t n) {
  Feed* feed = feeds_.data() + op.first;
  for (std::uint32_t f = 0; f < op.count; ++f, ++feed) {
    if (feed->input >= n) continue;  // not fed: the element keeps its output
    const double value = in[feed->input];
    feed->pending = value;
    outputs_[feed->slot] = value;
    *feed->output = value;
    *feed->sum = 0.0;
  }
}

const double* ForwardPlan::SharedInputs(const Group& group) const {
  if (group.direct) return outputs_.data() + sources_[group.first_source];
  return gathered_.data() + group.first_gathered;
}

void ForwardPlan::RunGroup(const Group& group) {
  const double* shared = SharedInputs(group);
  if (group.shared && !group.direct) {
    double* x = gathered_.data() + group.first_gathered;
    const std::uint32_t* sources = sources_.data() + group.first_source;
    for (std::uint32_t k = 0; k < group.link_count; ++k) x[k] = outputs_[sources[k]];
  }
  double* sums = sums_.data();
  for (std::uint32_t b = 0; b < group.block_count; ++b) {
    const Block& block = blocks_[group.first_block + b];
    const double* w = weights_.data() + block.first_weight;
    if (group.shared) {
      kernels_->sum_shared(block.vectors, w, shared, block.rows, sums + block.first_member);
    } else {
      // Outputs that change later in the pass are kept as they are now, for the links' inputs.
      for (std::uint32_t n = 0; n < block.snapshot_count; ++n) {
        const Snapshot& snapshot = snapshots_[block.first_snapshot + n];
        outputs_[snapshot.position] = outputs_[snapshot.slot];
      }
      kernels_->sum_own(block.vectors, w, outputs_.data(), sources_.data() + block.first_source,
                        row_runs_.data() + block.first_row_run, block.row_run_count,
                        sums + block.first_member);
    }
  }
  kernels_->activate(sums, thresholds_.data() + group.first_member,
                     alphas_.data() + group.first_member, group.tanh_count, group.member_count,
                     s_.data(), activated_.data());
  const Member* members = members_.data() + group.first_member;
  for (std::uint32_t m = 0; m < group.member_count; ++m) {
    const Member& member = members[m];
    *member.sum = s_[m];
    *member.output = activated_[m];
    outputs_[member.slot] = activated_[m];
  }
}

void ForwardPlan::RunExact(const Exact& exact, const double* in, std::size_t n) {
  if (exact.input_position) {
    if (exact.input >= n) return;  // not fed and not run
    if (exact.input_link != nullptr) exact.input_link->in = in[exact.input];
  } else {
    const ExactFeed* feed = exact_feeds_.data() + exact.first_feed;
    for (std::uint32_t k = 0; k < exact.feed_count; ++k) {
      if (feed[k].target != nullptr) feed[k].target->in = outputs_[feed[k].source];
    }
  }
  double sum = 0.0;
  double output = *exact.output;
  if (exact.input_type) {
    if (exact.link_count > 0) output = exact.records[exact.link_count - 1].second.in;
  } else {
    for (std::uint32_t k = 0; k < exact.link_count; ++k) {
      sum += exact.records[k].second.weight * exact.records[k].second.in;
    }
    sum -= exact.threshold;
    output = Activate(exact.atype, exact.alpha, sum);
  }
  *exact.sum = sum;
  *exact.output = output;
  outputs_[exact.slot] = output;
}

bool ForwardPlan::WriteOutputs(const ElemMap& mpl, double* out, int& count) const {
  if (EngineAccess::Stamp(mpl) != mpl_stamp_) return false;
  for (const std::shared_ptr<Neuron>* kernel : output_kernels_) {
    const Neuron* neuron = kernel != nullptr ? kernel->get() : nullptr;
    *out++ = neuron != nullptr ? neuron->getOutput() : 0.0;
  }
  count = static_cast<int>(output_kernels_.size());
  return true;
}

}  // namespace internal
}  // namespace mplnet
