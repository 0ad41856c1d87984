"""Files in and out: JSON farm files, windIO systems, NetCDF and JSON results, atomic writes.

``farm_file`` reads and writes farm files, ``windio`` reads windIO wind energy
systems (with ``windio_resource`` and ``windio_turbine``) and ``windio_outputs``
builds the files such a system asks for; ``netcdf`` labels a run as an xarray
Dataset, ``documents`` as JSON; ``atomic`` checks output paths before any
solving and writes each file whole or not at all.
"""
