// scale-sim: plays a label scale on UDP and/or on a pseudo-terminal, so the
// tool and its tests run without hardware. options.* holds the option and
// fault table, sim.* the endpoints and the line, answers.cpp what the scale
// answers, storage.* its output files.

#include "options.h"
#include "sim.h"

int main(int argc, char** argv) {
  facset::sim::Sim sim(facset::sim::Parse(argc, argv));
  return sim.Run();
}
