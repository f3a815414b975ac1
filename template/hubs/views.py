import logging

from django.conf import settings
from django.http import HttpResponse, HttpResponseNotFound, HttpResponseServerError
from django.shortcuts import render
from django.template import loader
from django.views.decorators.http import require_safe

from .. import ressources
from ..ressources import textes

logger = logging.getLogger(__name__)


def _context(request, **extra):
    context = {
        "hub_name": settings.HUB_NAME,
        "hub": ressources.description(settings.HUB_NAME),
        "textes": textes,
    }
    context.update(extra)
    return context


@require_safe
def space(request):
    """The user's space: the page a visitor of the network lands on."""
    address = "http://{}/".format(request.get_host())
    return render(request, "hubs/espace.html", _context(request, address=address))


@require_safe
def network_name(request):
    # Plain text, nothing else: Kestrova compares the body with the name it expects.
    return HttpResponse(settings.HUB_NAME, content_type="text/plain; charset=utf-8")


def not_found(request, exception=None):
    body = loader.render_to_string("hubs/404.html", _context(request), request)
    return HttpResponseNotFound(body)


def server_error(request):
    # Must not fail itself: if even the template breaks, answer in plain text.
    try:
        body = loader.render_to_string("hubs/500.html", _context(request))
    except Exception:
        logger.exception("La page d'erreur du hub n'a pas pu être affichée")
        return HttpResponseServerError(
            textes.ERREUR_SERVEUR, content_type="text/plain; charset=utf-8"
        )
    return HttpResponseServerError(body)
