"""Many fits: batches on local threads or on a Dask cluster, progress and Ctrl-C."""
