// The simulator's one threading policy: the thread count of a parallel region
// depends only on the number of qubits of the state it works on.
#pragma once

// std::thread::hardware_concurrency() read once when the library is loaded.
extern const int hardware_threads;

// Threads for a region over a state of `num_qubits` qubits: every hardware
// thread above 14 qubits, one thread at or below (team wake-up costs more than
// the work on at most 16384 amplitudes).
int thread_count_for(int num_qubits);
