// tarvek.skills.discovery.detector: placeholder until the detector lands.
#include <nanobind/nanobind.h>

NB_MODULE(detector, m) { (void)m; }
