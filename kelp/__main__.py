import sys

from kelp.cli.main import main

sys.exit(main())
