"""quarn: machine-vision inspection."""
