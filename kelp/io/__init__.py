"""Reading what a lab gives: settings files and measurement files."""
