"""The reference update server: the JSON API of the update server (status,
accounts, usage events) as a plain WSGI application on the standard library
and sqlite3, plus a static file server for the feed when nginx is not in
front of it."""
