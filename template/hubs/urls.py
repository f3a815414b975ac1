from django.urls import path

from . import views

app_name = "hubs"

urlpatterns = [
    path("", views.space, name="space"),
    # Kestrova asks this to learn which network answers on an address.
    path("_infos/kl/", views.network_name, name="network_name"),
]
