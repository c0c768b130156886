// Moves and node counts of the tensor search, run on the CPU device, over
// every result-affecting setting: records them, or checks a build against
// such a record. A change meant to restructure or speed up the tensor search
// must leave every entry identical.
//
//   build/bench/tensor_search_results --record bench/results/tensor_search.json
//   build/bench/tensor_search_results --check bench/results/tensor_search.json
//
// The record holds one JSON line per case: its key (which names every
// setting), the moves, nodes_generated and solved, and the error message
// where the search throws (the fixed-capacity cases). --models DIR names the
// folder of the exported models (default: the build's models folder).

#include <c10/core/Device.h>

#include <chrono>
#include <cstdio>
#include <exception>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "config/solver_settings.h"
#include "environments/registry.h"
#include "gpu_search/tensor_weighted_astar.h"
#include "quelmar_puzzles/puzzles.h"

namespace {

using quelmar::TorchAStarConfig;
using Json = nlohmann::json;

struct DtypeSet {
  const char* name;
  std::function<void(TorchAStarConfig&)> set;
};

// The defaults, everything wide, and mixed widths whose cost comparisons
// happen at different precisions.
const std::vector<DtypeSet> kDtypeSets = {
    {"default", [](TorchAStarConfig&) {}},
    {"wide",
     [](TorchAStarConfig& c) {
       c.memory_dtype_path_cost = c.memory_dtype_heuristic = c.memory_dtype_total_cost = "float64";
       c.memory_dtype_open_cost = c.memory_dtype_closed_cost = "float64";
       c.memory_dtype_node_state = c.memory_dtype_open_index = "int32";
       c.memory_dtype_closed_key = c.memory_dtype_parent_move = "int64";
     }},
    {"mixed",
     [](TorchAStarConfig& c) {
       c.memory_dtype_path_cost = c.memory_dtype_closed_cost = "float64";
       c.memory_dtype_node_state = c.memory_dtype_parent_move = "int16";
       c.memory_dtype_closed_key = c.memory_dtype_parent_index = c.memory_dtype_open_index = "int32";
     }},
};

struct Instance {
  const char* domain;
  const char* model;
  int depth;
  std::vector<uint64_t> seeds;
  std::vector<int> batches;
  std::vector<float> weights;
  std::vector<const char*> dtype_sets;
};

const std::vector<Instance> kInstances = {
    {"puzzle8", "puzzle8_manhattan.pt2", 16, {1, 2}, {1, 7, 100, 1000}, {1.0f, 0.6f},
     {"default", "wide", "mixed"}},
    {"puzzle15", "puzzle15_manhattan.pt2", 24, {1}, {7, 100, 1000}, {1.0f, 0.6f}, {"default"}},
    {"cube3", "cube3_misplaced.pt2", 4, {1}, {100, 1000}, {1.0f}, {"default"}},
};

const char* const kMoveSources[] = {"infer", "stored"};
const char* const kDuplicateModes[] = {"in_place", "new_slot"};
const char* const kProbing[] = {"linear_probing", "python_dict"};
const char* const kGoalStops[] = {"stop_before_goal", "expand_popped_batch"};

struct Case {
  std::string key;
  const Instance* instance;
  uint64_t seed;
  TorchAStarConfig config;
};

std::string weightText(float w) {
  char text[16];
  std::snprintf(text, sizeof text, "%g", static_cast<double>(w));
  return text;
}

std::vector<Case> cases() {
  std::vector<Case> out;
  for (const Instance& in : kInstances)
    for (uint64_t seed : in.seeds)
      for (int batch : in.batches)
        for (float weight : in.weights)
          for (const char* source : kMoveSources)
            for (const char* duplicates : kDuplicateModes)
              for (const char* probing : kProbing)
                for (const char* goal_stop : kGoalStops)
                  for (const char* dtypes : in.dtype_sets) {
                    Case c{std::string(in.domain) + "/d" + std::to_string(in.depth) + "/s" +
                               std::to_string(seed) + "/b" + std::to_string(batch) + "/w" +
                               weightText(weight) + "/" + source + "/" + duplicates + "/" +
                               probing + "/" + goal_stop + "/" + dtypes,
                           &in, seed, TorchAStarConfig{}};
                    c.config.batch_size = batch;
                    c.config.weight = weight;
                    c.config.solution_move_source = source;
                    c.config.duplicate_update_mode = duplicates;
                    c.config.hashtable_algorithm = probing;
                    c.config.goal_stop_mode = goal_stop;
                    for (const DtypeSet& d : kDtypeSets)
                      if (std::string(d.name) == dtypes) d.set(c.config);
                    out.push_back(std::move(c));
                  }
  // Small fixed capacities, so that the searches end in the capacity errors
  // (or, with a roomy table, solve without ever growing).
  const Instance& p8 = kInstances.front();
  for (const char* duplicates : kDuplicateModes)
    for (const auto& [what, open, closed, store] :
         std::vector<std::tuple<const char*, int64_t, int64_t, int64_t>>{
             {"open", 3, 4096, 4096}, {"closed", 4096, 16, 4096}, {"store", 4096, 4096, 20},
             {"roomy", 4096, 4096, 4096}}) {
      Case c{std::string("puzzle8/d16/s1/b7/fixed_") + what + "/" + duplicates, &p8, 1,
             TorchAStarConfig{}};
      c.config.batch_size = 7;
      c.config.duplicate_update_mode = duplicates;
      c.config.capacity_mode = "fixed";
      c.config.initial_open_size = open;
      c.config.initial_closed_size = closed;
      c.config.initial_node_store_size = store;
      out.push_back(std::move(c));
    }
  return out;
}

Json runCase(const Case& c, const std::string& models) {
  const auto& domain = quelmar_puzzles::find_domain(c.instance->domain);
  const std::vector<uint8_t> start = quelmar_puzzles::scramble(domain, c.instance->depth, c.seed).state;
  Json row = {{"key", c.key}};
  try {
    const quelmar::SearchResult r = quelmar::tensorAStarSearch(
        start, c.instance->domain, models + "/" + c.instance->model, c.config, c10::Device(c10::kCPU));
    row["moves"] = r.moves;
    row["nodes_generated"] = r.nodes_generated;
    row["solved"] = r.solved;
  } catch (const std::exception& e) {
    row["error"] = e.what();
  }
  return row;
}

int usage() {
  std::cerr << "usage: tensor_search_results (--record FILE | --check FILE) [--models DIR]\n";
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::string mode, file, models = QUELMAR_MODELS_DIR;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if ((arg == "--record" || arg == "--check") && i + 1 < argc && mode.empty()) {
      mode = arg;
      file = argv[++i];
    } else if (arg == "--models" && i + 1 < argc) {
      models = argv[++i];
    } else {
      return usage();
    }
  }
  if (mode.empty()) return usage();
  for (const auto& domain : quelmar_puzzles::domains())
    quelmar::register_torch_environment(domain.name, domain.torch_factory);

  std::map<std::string, Json> recorded;
  if (mode == "--check") {
    std::ifstream in(file);
    if (!in) {
      std::cerr << "cannot read " << file << "\n";
      return 1;
    }
    for (std::string line; std::getline(in, line);)
      if (!line.empty()) {
        Json row = Json::parse(line);
        const std::string key = row.at("key").get<std::string>();
        recorded[key] = std::move(row);
      }
  }

  const auto begin = std::chrono::steady_clock::now();
  std::vector<Json> rows;
  for (const Case& c : cases()) rows.push_back(runCase(c, models));
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();

  if (mode == "--record") {
    std::ofstream out(file);
    for (const Json& row : rows) out << row.dump() << "\n";
    if (!out) {
      std::cerr << "cannot write " << file << "\n";
      return 1;
    }
    std::printf("recorded %zu results in %.1f s into %s\n", rows.size(), seconds, file.c_str());
    return 0;
  }
  size_t differing = 0;
  for (const Json& row : rows) {
    const std::string key = row.at("key").get<std::string>();
    const auto it = recorded.find(key);
    if (it != recorded.end() && it->second == row) {
      recorded.erase(it);
      continue;
    }
    if (++differing <= 20)
      std::printf("DIFFERS %s: recorded %s, now %s\n", key.c_str(),
                  it == recorded.end() ? "nothing" : it->second.dump().c_str(), row.dump().c_str());
    if (it != recorded.end()) recorded.erase(it);
  }
  // Recorded cases that this build no longer runs differ too.
  for (const auto& [key, row] : recorded)
    if (++differing <= 20) std::printf("DIFFERS %s: recorded, not run\n", key.c_str());
  std::printf("%zu results in %.1f s: %zu differ\n", rows.size(), seconds, differing);
  return differing == 0 ? 0 : 1;
}
