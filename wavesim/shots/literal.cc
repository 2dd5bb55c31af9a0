// The literal shot procedure: shot by shot on one state.
#include "wavesim/shots/literal.h"

#include <string>
#include <vector>

#include "wavesim/plan/run.h"

namespace wavesim {

std::string key_of_register(const std::vector<int>& cbits) {
    std::string key;
    for (int bit : cbits) key += std::to_string(bit);
    return std::string(key.rbegin(), key.rend());
}

template <typename Real>
ShotCounts literal_shot_counts(const CircuitData& circuit, SetRun<Real>& run, int shots, int num_cbits,
                               RandomSource& source, int fusion) {
    const std::vector<CircuitInstruction>& instructions = circuit.instructions;
    Program program = make_program(instructions, static_cast<uint32_t>(circuit.num_qubits), run.batch_index, fusion,
                                   run.caches);
    std::vector<int> cbits;
    RunOptions options;
    options.team = run.team;
    options.source = &source;
    options.shot_register = &cbits;
    ShotCounts counts;
    for (int s = 0; s < shots; ++s) {
        StateView<Real>& state = run.state();
        cbits.assign(empty_key(num_cbits).size(), 0);
        // Stretch by stretch between the steps that draw, as the first shot reaches each one.
        size_t begin = 0;
        for (size_t i = 0; i < instructions.size(); ++i) {
            if (!ends_stretch(instructions[i])) continue;
            run_program(state, program, begin, i, options);
            run_steps(state, run_steps_of(program), step_of(program, i), step_of(program, i) + 1, options);
            begin = i + 1;
        }
        run_program(state, program, begin, instructions.size(), options);
        ++counts[key_of_register(cbits)];
    }
    return counts;
}

template ShotCounts literal_shot_counts<double>(const CircuitData&, SetRun<double>&, int, int, RandomSource&, int);
template ShotCounts literal_shot_counts<float>(const CircuitData&, SetRun<float>&, int, int, RandomSource&, int);

}  // namespace wavesim
