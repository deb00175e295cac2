#include "front/recphyloxml.h"

#include <atomic>
#include <new>

#include "writer/files.h"
#include "writer/first_failure.h"
#include "writer/run_tables.h"

namespace vornix::front {

namespace {

// Indentation grows two spaces a level up to this depth, so that a
// duplication chain thousands of copies deep stays linear in size.
constexpr std::size_t kMaxIndent = 30;

void indent(std::string& out, std::size_t depth) { out.append(2 * std::min(depth, kMaxIndent), ' '); }

// Text or attribute value: the five characters XML reserves become entities.
void append_escaped(std::string& out, std::string_view text) {
    for (const char c : text) {
        switch (c) {
            case '&': out.append("&amp;"); break;
            case '<': out.append("&lt;"); break;
            case '>': out.append("&gt;"); break;
            case '"': out.append("&quot;"); break;
            case '\'': out.append("&apos;"); break;
            default: out.push_back(c);
        }
    }
}

// "<clade><name>...</name>": every clade starts its own line this way.
void open_clade(std::string& out, std::size_t depth, std::string_view name) {
    indent(out, depth);
    out.append("<clade><name>");
    append_escaped(out, name);
    out.append("</name>");
}

// The rest of a clade's first line: "</clade>" for a leaf, a line break
// before the children otherwise.
void end_first_line(std::string& out, bool leaf) { out.append(leaf ? "</clade>\n" : "\n"); }

// The clades below `root` at the document's tree depth, without recursion
// (duplication chains make gene trees deep): first_line(v, depth) opens node
// v's clade, children(v) lists its children in order.
template <class Node, class ChildrenOf, class FirstLine>
void append_clades(std::string& out, Node root, const ChildrenOf& children, const FirstLine& first_line) {
    constexpr std::size_t base = 3;
    std::vector<std::pair<Node, std::size_t>> stack{{root, 0}};  // (node, children opened)
    while (!stack.empty()) {
        auto& [v, opened] = stack.back();
        const std::size_t depth = base + stack.size() - 1;
        const auto kids = children(v);
        if (opened == 0) {
            first_line(v, depth);
            end_first_line(out, kids.empty());
            if (kids.empty()) {
                stack.pop_back();
                continue;
            }
        }
        if (opened < kids.size()) {
            const Node child = kids[opened++];
            stack.push_back({child, 0});
        } else {
            indent(out, depth);
            out.append("</clade>\n");
            stack.pop_back();
        }
    }
}

std::string_view end_tag(CopyEnd ends) {
    switch (ends) {
        case CopyEnd::Duplication: return "duplication";
        case CopyEnd::Transfer: return "branchingOut";
        case CopyEnd::Speciation: return "speciation";
        case CopyEnd::Leaf: return "leaf";
        case CopyEnd::Loss:
        case CopyEnd::ExtinctLineage: return "loss";
    }
    return "loss";
}

// <eventsRec>[<transferBack .../>]<end speciesLocation="..." [geneName]/></eventsRec>
void append_events(std::string& out, const ReconciledNode& node, std::span<const std::string> names,
                   std::string_view label) {
    out.append("<eventsRec>");
    if (node.arrived_from_transfer != writer::kNoSpecies) {
        out.append("<transferBack destinationSpecies=\"");
        append_escaped(out, names[node.arrived_from_transfer]);
        out.append("\"/>");
    }
    out.push_back('<');
    out.append(end_tag(node.ends));
    out.append(" speciesLocation=\"");
    append_escaped(out, names[node.species]);
    out.push_back('"');
    if (node.ends == CopyEnd::Leaf) {
        out.append(" geneName=\"");
        append_escaped(out, label);
        out.push_back('"');
    }
    out.append("/></eventsRec>");
}

}  // namespace

std::string recphylo_head(const SpeciesLayout& species) {
    std::string out;
    out.append("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<recPhylo xmlns=\"http://www.recg.org\">\n");
    out.append("  <spTree>\n    <phylogeny rooted=\"true\">\n");
    append_clades(
        out, species.root, [&](std::uint64_t v) { return species.children->of(v); },
        [&](std::uint64_t v, std::size_t depth) { open_clade(out, depth, species.names[v]); });
    out.append("    </phylogeny>\n  </spTree>\n");
    return out;
}

void append_rec_gene_tree(std::string& out, std::span<const ReconciledNode> nodes, std::span<const std::string> names) {
    out.append("  <recGeneTree>\n    <phylogeny rooted=\"true\">\n");
    std::string label;
    if (!nodes.empty()) {
        append_clades(
            out, std::uint32_t{0},
            [&](std::uint32_t v) { return std::span<const std::uint32_t>(nodes[v].children, nodes[v].n_children); },
            [&](std::uint32_t v, std::size_t depth) {
                label.clear();
                append_label(label, nodes[v], names);
                open_clade(out, depth, label);
                append_events(out, nodes[v], names, label);
            });
    }
    out.append("    </phylogeny>\n  </recGeneTree>\n");
}

std::optional<EngineError> check_species_input(const SpeciesInput& input) {
    const std::size_t n = input.parent.size();
    if (n == 0) return value_error("the species tree has no node");
    if (input.names.size() != n) {
        return value_error("names has " + std::to_string(input.names.size()) + " entries but parent has " +
                           std::to_string(n));
    }
    if (input.root >= n) return value_error("root " + std::to_string(input.root) + " is not a node of the tree");
    if (input.parent[input.root] >= 0) return value_error("the root has a parent");
    for (std::size_t i = 0; i < n; ++i) {
        if (input.parent[i] >= static_cast<std::int64_t>(n)) {
            return value_error("parent[" + std::to_string(i) + "] is not a node of the tree");
        }
    }
    return std::nullopt;
}

namespace {

struct Lane {
    ReconciliationBuilder builder;
    std::vector<ReconciledNode> nodes;
    std::string text;
    std::string path;
};

// Runs `body(k, lane)` over the families on the pool; the calling thread
// polls `interrupt`. After the first failure the other tasks return at once.
template <class Body>
std::optional<EngineError> for_each_family(std::size_t n, writer::WorkerPool& pool, Interrupt& interrupt,
                                           std::vector<Lane>& lanes, const Body& body) {
    writer::FirstFailure failures;
    pool.for_each(n, [&](std::size_t k, unsigned lane) {
        if (failures.stopped()) return;
        if (lane == 0 && interrupt.poll_now()) {  // lane 0 is the calling thread, the only one that may poll
            failures.stop();
            return;
        }
        try {
            if (auto failed = body(k, lanes[lane])) failures.fail(std::move(*failed));
        } catch (const std::bad_alloc&) {
            failures.fail({ErrorKind::Memory, "the reconciled gene trees do not fit in memory"});
        }
    });
    if (interrupt.stopped()) return interrupted();
    return failures.take();
}

struct Prepared {
    writer::FamilyGroups groups;
    Children children;
};

Outcome<Prepared> prepare(const event_log::Records& records, const event_log::ExtantContent& extant,
                          const SpeciesInput& species) {
    if (auto bad = check_species_input(species)) return *bad;
    for (const auto& leaf : extant) {
        if (leaf.node >= species.names.size()) {
            return value_error("extant leaf " + std::to_string(leaf.node) + " is not a node of the tree");
        }
    }
    return Prepared{writer::group_by_family(records, extant), build_children(species.parent.size(), species.parent)};
}

}  // namespace

Outcome<FamilyDocuments> recphyloxml_documents(const event_log::Records& records,
                                               const event_log::ExtantContent& extant, const SpeciesInput& species,
                                               writer::WorkerPool& pool, Interrupt& interrupt) {
    auto prepared = prepare(records, extant, species);
    if (!prepared.ok()) return prepared.error();
    Prepared& p = prepared.value();
    const SpeciesLayout layout{species.names, &p.children, species.root};
    const std::string head = recphylo_head(layout);
    const std::size_t n = p.groups.size();
    std::vector<std::string> texts(n);
    std::vector<Lane> lanes(pool.lanes());
    auto failed = for_each_family(n, pool, interrupt, lanes, [&](std::size_t k, Lane& lane) -> std::optional<EngineError> {
        if (auto bad = lane.builder.build(p.groups.of(k), p.groups.placed_of(k), layout, 0.0, lane.nodes)) return bad;
        if (lane.nodes.empty()) return std::nullopt;
        std::string& text = texts[k];
        text.reserve(head.size() + 160 * lane.nodes.size() + 64);
        text.append(head);
        append_rec_gene_tree(text, lane.nodes, species.names);
        text.append(kRecPhyloTail);
        return std::nullopt;
    });
    if (failed) return *failed;
    FamilyDocuments out;
    out.start.push_back(0);
    for (std::size_t k = 0; k < n; ++k) {
        if (texts[k].empty()) continue;
        out.families.push_back(p.groups.families[k]);
        out.text.append(texts[k]);
        std::string().swap(texts[k]);
        out.start.push_back(out.text.size());
    }
    return out;
}

Outcome<std::uint64_t> write_recphyloxml(const event_log::Records& records, const event_log::ExtantContent& extant,
                                         const SpeciesInput& species, const std::string& trees_dir,
                                         writer::WorkerPool& pool, Interrupt& interrupt) {
    auto prepared = prepare(records, extant, species);
    if (!prepared.ok()) return prepared.error();
    Prepared& p = prepared.value();
    if (auto failed = writer::create_dir_all(trees_dir)) return *failed;
    const SpeciesLayout layout{species.names, &p.children, species.root};
    const std::string head = recphylo_head(layout);
    std::vector<Lane> lanes(pool.lanes());
    std::atomic<std::uint64_t> written{0};
    auto failed = for_each_family(p.groups.size(), pool, interrupt, lanes,
                                  [&](std::size_t k, Lane& lane) -> std::optional<EngineError> {
        if (auto bad = lane.builder.build(p.groups.of(k), p.groups.placed_of(k), layout, 0.0, lane.nodes)) return bad;
        if (lane.nodes.empty()) return std::nullopt;
        lane.text.clear();
        lane.text.append(head);
        append_rec_gene_tree(lane.text, lane.nodes, species.names);
        lane.text.append(kRecPhyloTail);
        writer::family_file_path(lane.path, trees_dir, p.groups.families[k], "_reconciled.xml");
        if (auto io = writer::write_file(lane.path, lane.text)) return io;
        written.fetch_add(1, std::memory_order_relaxed);
        return std::nullopt;
    });
    if (failed) return *failed;
    return written.load();
}

Outcome<FamilyReconciliations> reconciled_families(const event_log::Records& records,
                                                   const event_log::ExtantContent& extant,
                                                   const SpeciesInput& species, double total_age,
                                                   Interrupt& interrupt) {
    auto prepared = prepare(records, extant, species);
    if (!prepared.ok()) return prepared.error();
    Prepared& p = prepared.value();
    const SpeciesLayout layout{species.names, &p.children, species.root};
    FamilyReconciliations out;
    out.start.push_back(0);
    ReconciliationBuilder builder;
    std::vector<ReconciledNode> nodes;
    for (std::size_t k = 0; k < p.groups.size(); ++k) {
        if (interrupt.poll_now()) return interrupted();
        if (auto bad = builder.build(p.groups.of(k), p.groups.placed_of(k), layout, total_age, nodes)) return *bad;
        if (nodes.empty()) continue;
        out.families.push_back(p.groups.families[k]);
        out.nodes.insert(out.nodes.end(), nodes.begin(), nodes.end());
        out.start.push_back(out.nodes.size());
    }
    return out;
}

}  // namespace vornix::front
