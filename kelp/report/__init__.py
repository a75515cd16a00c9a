"""What a fit leaves behind: the JSON document, the table on the terminal, the figure."""
