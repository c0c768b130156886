// Search instantiations with heuristic double and total cost double.
#include "cpu_search/parallel_weighted_astar_impl.h"
#include "cpu_search/search_instantiations.h"

namespace quelmar {
QUELMAR_SEARCH_WIDTHS_FOR(QUELMAR_INSTANTIATE_SEARCH, double, double)
}  // namespace quelmar
