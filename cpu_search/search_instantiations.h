#pragma once
// The 8 storage-width combinations of the CPU search (heuristic, total and
// open cost; each float or double). Each search_widths_*.cpp instantiates
// the two open-cost widths of one (heuristic, total) pair so the work spreads
// over several translation units.

#define QUELMAR_SEARCH_WIDTHS_FOR(X, H, T) X(H, T, float) X(H, T, double)

#define QUELMAR_FOR_EACH_SEARCH_WIDTHS(X)        \
  QUELMAR_SEARCH_WIDTHS_FOR(X, float, float)     \
  QUELMAR_SEARCH_WIDTHS_FOR(X, float, double)    \
  QUELMAR_SEARCH_WIDTHS_FOR(X, double, float)    \
  QUELMAR_SEARCH_WIDTHS_FOR(X, double, double)

#define QUELMAR_SEARCH_SIGNATURE(H, T, O)                                            \
  SearchResult parallelWeightedAStarImpl<H, T, O>(std::unique_ptr<Environment> start, \
                                                  const AOTIManifest& manifest,       \
                                                  const SolverSettings& settings);

#define QUELMAR_DECLARE_SEARCH(H, T, O) extern template QUELMAR_SEARCH_SIGNATURE(H, T, O)
#define QUELMAR_INSTANTIATE_SEARCH(H, T, O) template QUELMAR_SEARCH_SIGNATURE(H, T, O)
