"""The entry point for gunicorn: `gunicorn vantor_server.wsgi:application`
with the settings in the environment (see Config.from_env). Serves the API
only; nginx serves the feed's files and passes /api/ on."""

from .app import create_app
from .config import Config

application = create_app(Config.from_env())
