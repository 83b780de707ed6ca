"""tarvek command-line operations tool."""
