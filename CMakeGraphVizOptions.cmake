# cmake --graphviz: the program, the tools and the libraries of the layers,
# with what each links; the tests and the system's libraries left out.
set(GRAPHVIZ_GRAPH_NAME "Orvalis")
set(GRAPHVIZ_EXTERNAL_LIBS FALSE)
set(GRAPHVIZ_GENERATE_PER_TARGET FALSE)
set(GRAPHVIZ_GENERATE_DEPENDERS FALSE)
set(GRAPHVIZ_IGNORE_TARGETS "^tst_" "^orvalis_test")
