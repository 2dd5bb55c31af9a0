import copy
import pickle

import circuitcore as cc


def test_records_round_trip_through_pickle_and_copy():
    ins = cc.CircuitInstruction(name="RX", qubits=[0], param=cc.ParamBinding("t[0]", [0.1, 0.2]), has_param=True)
    data = cc.CircuitData(3, [ins], cc.ParamTable("t", 12))
    for clone in (pickle.loads(pickle.dumps(data)), copy.copy(data), copy.deepcopy(data)):
        assert clone.instructions == [ins]
        assert [e.name for e in clone.params.entries] == [f"t[{i}]" for i in range(12)]
