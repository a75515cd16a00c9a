"""The models: the parameters they read, the registry that names them, their evaluation
through the core (kelp.models.forward)."""
