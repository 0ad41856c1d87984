"""Wall time of the whole farmrun job: a wind rose of D directions x S speeds on a
square farm of T turbines (7 rotor diameters apart), IEA 3.4 MW turbines.

    tools/dev python bench/bench_farmrun.py                  # 360 x 12 on 100 turbines
    tools/dev python bench/bench_farmrun.py --directions 36 --turbines 16 --solver jacobi
"""
import argparse
import math
import pathlib
import sys
import time

import torch

import farmrun
from farmrun.runner import SOLVERS

# The farm builders the tests use too.
sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "tests"))
from fixtures import square_farm  # noqa: E402


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawTextHelpFormatter)
    p.add_argument("--directions", type=int, default=360)
    p.add_argument("--speeds", type=int, default=12)
    p.add_argument("--turbines", type=int, default=100, help="a square number")
    p.add_argument("--solver", choices=SOLVERS, nargs="+", default=list(SOLVERS))
    p.add_argument("--device", default="cpu")
    p.add_argument("--repeat", type=int, default=1)
    p.add_argument("--threads", type=int, default=None,
                   help="intra-op threads (default torch's); 1 avoids the spinning of "
                        "parallel regions on an oversubscribed machine")
    args = p.parse_args()
    if args.threads:
        torch.set_num_threads(args.threads)

    f = square_farm(args.turbines, args.directions, args.speeds)
    print(f"torch {torch.__version__}, {torch.get_num_threads()} threads, device {args.device}; "
          f"{args.turbines} turbines, {args.directions} directions x {args.speeds} speeds")
    farmrun.run(farmrun.example_farm(), device=args.device, progress=False)  # warm-up
    for solver in args.solver:
        best = math.inf
        for _ in range(args.repeat):
            if args.device == "cuda":
                torch.cuda.synchronize()
            start = time.perf_counter()
            result = farmrun.run(f, solver=solver, device=args.device, progress=False)
            energy = farmrun.annual_energy(result)  # reads the results back: includes the device sync
            best = min(best, time.perf_counter() - start)
        n_cases = args.directions * args.speeds
        print(f"{solver:>10}: {best:8.2f} s for {n_cases} cases in {result.n_batches} batches "
              f"({n_cases * args.turbines / best:,.0f} turbine-cases/s), "
              f"AEP {energy.aep_gwh:.3f} GWh, wake loss {energy.wake_loss_percent:.3f} %")


if __name__ == "__main__":
    main()
