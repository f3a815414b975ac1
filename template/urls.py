"""URLs of a Kestrova hub.

Replaces the generated urls.py.  The project package's name comes from
settings.PACKAGE, which settings.py reads off its own location.
"""

import re

from django.conf import settings
from django.urls import include, path, re_path
from django.views.static import serve

urlpatterns = [
    path("", include(settings.PACKAGE + ".hubs.urls")),
    # A hub runs on Django's development server with DEBUG off, where
    # django.conf.urls.static.static() adds nothing and staticfiles does not
    # step in, so the hub's own files are served here on purpose.
    re_path(
        r"^{}(?P<path>.*)$".format(re.escape(settings.STATIC_URL.lstrip("/"))),
        serve,
        {"document_root": settings.STATICFILES_DIRS[0]},
    ),
]
if getattr(settings, "WITH_ADMIN", False):
    from django.contrib import admin

    urlpatterns.insert(0, path("admin/", admin.site.urls))

handler404 = settings.PACKAGE + ".hubs.views.not_found"
handler500 = settings.PACKAGE + ".hubs.views.server_error"
