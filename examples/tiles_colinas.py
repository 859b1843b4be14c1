"""tolvane.tiles from Python: the bundled contour lines (curvas/colinas.gpkg)
into a cloud-optimised GeoTIFF, on a local Dask cluster of two worker processes.

    python3 examples/tiles_colinas.py [SCHEDULER_ADDRESS]

With the address of a running scheduler (tcp://host:8786) it uses that cluster
instead. A script that starts a LocalCluster needs the __main__ guard: Dask
starts its workers as new processes that import this file.
"""

import sys

from distributed import Client, LocalCluster

import tolvane.tiles


def main():
    if len(sys.argv) > 1:
        client, cluster = Client(sys.argv[1]), None
    else:
        cluster = LocalCluster(n_workers=2, threads_per_worker=1, dashboard_address=":0")
        client = Client(cluster)
    try:
        r = tolvane.tiles.elevation("examples/curvas/colinas.gpkg", "build/colinas_cog.tif", 5, attribute="elev",
                                    tile=256, halo=64, client=client, cog=True)
    finally:
        client.close()
        if cluster is not None:
            cluster.close()
    print(f"{r.output}: {r.grid.columns} x {r.grid.rows} pixels, levels {r.levels[0]:g} to {r.levels[1]:g} "
          f"every {r.levels[2]:g}, {r.tiles} tiles")


if __name__ == "__main__":
    main()
