import sys

from kelp_cli.cli import main

sys.exit(main())
